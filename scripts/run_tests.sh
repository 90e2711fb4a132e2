#!/usr/bin/env bash
# Builds, installs and tests everything against the real store.
#
#   scripts/run_tests.sh                      plain build in build/, installed, whole suite
#   scripts/run_tests.sh --sanitize address,undefined --build-dir build-asan
#   scripts/run_tests.sh --sanitize thread --build-dir build-tsan --label threads
#
# Installing needs root (or sudo): the library's scripts, the tool and the libraries go to
# their fixed places (/opt/tovana/hvx/tov-zelt, /usr/local). Sanitizer builds are not installed;
# they test their own build tree.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
sanitize=""
label=""
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir=$2; shift 2 ;;
        --sanitize) sanitize=$2; shift 2 ;;
        --label) label=$2; shift 2 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

bash scripts/install_deps.sh

configure_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ -n "$sanitize" ]; then
    configure_args+=(-DTOVZELT_SANITIZE="$sanitize")
else
    # The operator tests run the installed tool, as an operator would.
    configure_args+=(-DZELT_TOOL_UNDER_TEST=/opt/tovana/hvx/tov-zelt/tools/zelt_tool)
fi
cmake -S . -B "$build_dir" "${configure_args[@]}"
cmake --build "$build_dir" -j "$(nproc)"

if [ -z "$sanitize" ]; then
    as_root cmake --install "$build_dir"
    as_root ldconfig
fi
# The scripts and their server must be installed for any test run.
if [ ! -x /opt/tovana/hvx/tov-zelt/redis_startup.sh ]; then
    as_root cmake --install "$build_dir" --component runtime
fi
/opt/tovana/hvx/tov-zelt/redis_startup.sh

ctest_args=(--test-dir "$build_dir" --output-on-failure -j 2)
if [ -n "$label" ]; then ctest_args+=(-L "$label"); fi
ctest "${ctest_args[@]}"
