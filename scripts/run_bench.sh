#!/usr/bin/env bash
# Builds the benchmarks and runs them against the real store, each library figure next to the
# same work on plain hiredis in the same run, and prints the tables of ratios.
#
#   scripts/run_bench.sh [Google Benchmark flags...]     e.g. --benchmark_filter=get_param
#
# Three programs, about four minutes in all: bench_calls (one call on one thread; update_param
# throughput on 1 to 300 threads), bench_startup (a process's first call, a zelt_tool query,
# the startup script) and bench_listener (from a write to the change callback). They use the
# library and zelt_tool of the build tree (build-bench/); the store's scripts are installed
# when they are missing. Figures are medians of three rounds.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-bench
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

bash scripts/install_deps.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVZELT_BUILD_BENCH=ON \
    -DTOVZELT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j 2 >/dev/null
if [ ! -x /opt/tovana/hvx/tov-zelt/redis_startup.sh ]; then
    as_root cmake --install "$build_dir" --component runtime >/dev/null
fi
/opt/tovana/hvx/tov-zelt/redis_startup.sh

# Each program runs even when another one failed; the script fails when any did.
status=0
common=(--rounds=3)
"$build_dir/bench/bench_calls" "${common[@]}" --benchmark_min_time=0.1 "$@" || status=1
"$build_dir/bench/bench_startup" "${common[@]}" "$@" || status=1
"$build_dir/bench/bench_listener" "${common[@]}" "$@" || status=1
exit "$status"
