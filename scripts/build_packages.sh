#!/usr/bin/env bash
# Builds the Debian packages of TovZelt with cpack (cmake/Packaging.cmake):
#   tovzelt       libtovzelt, libtovclog, zelt_tool, zelt_demo, the server scripts, the server's
#                 and the tool's configuration, the data directory
#   tovzelt-dev   headers, link names, tovzelt.pc, the CMake package
# for amd64 from the native build in build-pkg and for arm64 from the cross build in
# build-aarch64 (the tree scripts/cross_test.sh tests). The files land in <build dir>/packages/.
#
#   scripts/build_packages.sh [--arch amd64|arm64|all] [--install]
#
# --install installs the amd64 packages on this machine (dpkg; the dependencies come from
# scripts/install_deps.sh) and runs the installed zelt_tool --help and the demo.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=all
install=0
while [ $# -gt 0 ]; do
    case "$1" in
        --arch) arch=$2; shift 2 ;;
        --install) install=1; shift ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done
case "$arch" in amd64 | arm64 | all) ;; *) echo "unknown architecture: $arch" >&2; exit 2 ;; esac

readonly HOME_DIR=/opt/tovana/hvx/tov-zelt
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# package <build dir> <cmake arguments...>: configures, builds and packs one tree.
package() {
    local dir=$1
    shift
    cmake -S . -B "$dir" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j 2 >/dev/null
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -G DEB >/dev/null)
    local deb
    for deb in "$dir"/packages/*.deb; do
        printf '%s  %s bytes, %s files, Depends: %s\n' "$deb" "$(stat -c %s "$deb")" \
            "$(dpkg-deb -c "$deb" | grep -vc '^d')" "$(dpkg-deb -f "$deb" Depends)"
    done
}

if [ "$arch" != arm64 ]; then
    bash scripts/install_deps.sh
    package build-pkg -DTOVZELT_BUILD_TESTS=OFF
fi
if [ "$arch" != amd64 ]; then
    bash scripts/install_deps.sh --cross
    package build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
    # What the arm64 runtime package holds is built for it.
    check=$(mktemp -d)
    dpkg-deb -x build-aarch64/packages/tovzelt_*_arm64.deb "$check"
    for f in "$check"/usr/local/lib/libtovzelt.so.1 "$check$HOME_DIR/tools/zelt_tool"; do
        description=$(file -bL "$f")
        echo "arm64 package: ${f#"$check"}: ${description%%, BuildID*}"
        [[ $description == *"ARM aarch64"* ]] || { echo "not an aarch64 file: $f" >&2; exit 1; }
    done
    rm -rf "$check"
fi

if ((install == 1)); then
    [ "$arch" != arm64 ] || { echo "--install takes the amd64 packages" >&2; exit 2; }
    # The tool's configuration is the administrator's: an existing one is kept.
    as_root dpkg -i --force-confdef --force-confold \
        build-pkg/packages/tovzelt_*_amd64.deb build-pkg/packages/tovzelt-dev_*_amd64.deb
    dpkg-query -W -f='installed: ${Package} ${Version} ${Architecture} (${db:Status-Abbrev})\n' \
        tovzelt tovzelt-dev
    "$HOME_DIR/redis_startup.sh"
    echo "\$ $HOME_DIR/tools/zelt_tool --help"
    "$HOME_DIR/tools/zelt_tool" --help
    echo "\$ $HOME_DIR/tools/zelt_demo"
    "$HOME_DIR/tools/zelt_demo"
fi
