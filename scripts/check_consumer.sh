#!/usr/bin/env bash
# Builds the consumer project example/consumer against the installed TovZelt, once with
# pkg-config and once with its CMake package (find_package(tovzelt CONFIG), tovzelt::tovzelt),
# each in a temporary directory, and runs both programs: each prints the library's version and
# writes, reads back and removes one parameter of a module of its own.
#
# Needs TovZelt installed (the tovzelt and tovzelt-dev packages, or cmake --install of a build)
# and the store: the server is started through the installed startup script.
set -euo pipefail
cd "$(dirname "$0")/.."

readonly SOURCE=example/consumer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# pkg-config
read -ra flags <<<"$(pkg-config --cflags --libs tovzelt)"
echo "pkg-config: tovzelt $(pkg-config --modversion tovzelt): ${flags[*]}"
c++ -std=c++17 -Wall -Wextra -Werror "$SOURCE/main.cpp" -o "$work/consumer_pkg_config" "${flags[@]}"

# CMake package
cmake -S "$SOURCE" -B "$work/cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$work/cmake" >/dev/null
echo "CMake: $(grep '^tovzelt_DIR:' "$work/cmake/CMakeCache.txt")"

/opt/tovana/hvx/tov-zelt/redis_startup.sh
for program in "$work/consumer_pkg_config" "$work/cmake/tovzelt_consumer"; do
    echo "\$ ${program#"$work"/}"
    "$program"
done
echo "consumer: built with pkg-config and with the CMake package; both ran"
