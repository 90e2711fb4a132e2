#!/bin/bash
# Installs the Debian packages needed to build and test TovZelt.
#
# Usage: scripts/install_deps.sh [--cross]
#   --cross  also installs what the 64-bit ARM cross build and its emulated test run need
#            (scripts/cross_test.sh): g++-aarch64-linux-gnu; through dpkg's arm64 architecture
#            (added when missing) hiredis and the C++ runtime for arm64, so that the loader,
#            libc, libstdc++ and hiredis of the emulated programs all come from
#            /lib/aarch64-linux-gnu; qemu-user for qemu-aarch64, and its binfmt_misc entry
#            (qemu-user-binfmt, registered through binfmt-support), with which the kernel runs
#            the aarch64 programs that the tests start themselves.
#
# Idempotent: only missing packages are installed, and when nothing is missing apt-get is not
# run at all (no package list update either). Runs apt-get as root, or through sudo otherwise.
# Prints only what apt-get reports on errors; exits non-zero when an installation fails.
set -u
set -o pipefail

readonly NATIVE_PACKAGES=(
    g++ cmake make pkg-config
    libhiredis-dev
    redis-server redis-tools
    googletest libgtest-dev libgmock-dev
    libbenchmark-dev
    clang-format clang
    util-linux
)
readonly CROSS_ARCH=arm64
# binfmt-support is named so that qemu-user-binfmt does not bring in systemd for the same job.
readonly CROSS_PACKAGES=(
    g++-aarch64-linux-gnu
    "libhiredis-dev:${CROSS_ARCH}"
    "libstdc++6:${CROSS_ARCH}"
    qemu-user qemu-user-binfmt binfmt-support
)

usage() {
    printf 'Usage: %s [--cross]\n' "${0##*/}" >&2
}

# Runs a command as root: directly when we are root, through sudo otherwise.
as_root() {
    if ((EUID == 0)); then
        "$@"
    else
        sudo -- "$@"
    fi
}

# True when the package (optionally with :arch) is fully installed.
installed() {
    local status
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) || return 1
    [[ ${status} == ii* ]]
}

# Prints, one a line, the packages of the arguments that are not installed.
missing_packages() {
    local package
    for package in "$@"; do
        installed "${package}" || printf '%s\n' "${package}"
    done
}

# Adds the cross architecture to dpkg when it is not known yet.
add_cross_arch() {
    local arch foreign
    foreign=$(dpkg --print-foreign-architectures) || return 1
    for arch in ${foreign}; do
        [[ ${arch} == "${CROSS_ARCH}" ]] && return 0
    done
    as_root dpkg --add-architecture "${CROSS_ARCH}"
}

apt_install() {
    local -a apt=(env DEBIAN_FRONTEND=noninteractive apt-get -qq -o=Dpkg::Use-Pty=0)
    as_root "${apt[@]}" update >/dev/null || return 1
    as_root "${apt[@]}" install -y --no-install-recommends "$@" >/dev/null
}

main() {
    local cross=0
    while (($# > 0)); do
        case $1 in
            --cross) cross=1 ;;
            -h | --help)
                usage
                return 0
                ;;
            *)
                usage
                return 2
                ;;
        esac
        shift
    done

    local -a wanted=("${NATIVE_PACKAGES[@]}")
    if ((cross == 1)); then
        wanted+=("${CROSS_PACKAGES[@]}")
    fi
    local list
    local -a missing=()
    list=$(missing_packages "${wanted[@]}")
    [[ -z ${list} ]] && return 0
    mapfile -t missing <<<"${list}"

    if ((cross == 1)); then
        add_cross_arch || return 1
    fi
    if ! apt_install "${missing[@]}"; then
        printf 'install_deps: could not install: %s\n' "${missing[*]}" >&2
        return 1
    fi
}

main "$@"
