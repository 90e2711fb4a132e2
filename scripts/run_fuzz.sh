#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build-fuzz/ and runs each of them for N seconds on its corpus.
#
#   scripts/run_fuzz.sh [N]        N seconds per target, 20 by default
#
# Targets: the configuration-file reader and the key-name forms of zelt_tool's cleanup, the
# free-form command splitter, and the listener's notification decoder. The corpus lives in
# fuzz/corpus/<target>/ and is only read: what a run finds goes to a scratch directory. A
# target that crashes leaves its input in build-fuzz/artifacts/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds == 0)); then
    echo "usage: $0 [seconds per target]" >&2
    exit 2
fi
build_dir=build-fuzz
targets=(fuzz_config_file fuzz_process_ids fuzz_command_words fuzz_notification)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# clang 14 and its sanitizer and libFuzzer runtimes, from Debian.
missing=()
for package in clang-14 libclang-rt-14-dev cmake libhiredis-dev; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null | grep -q '^ii' ||
        missing+=("$package")
done
if ((${#missing[@]} > 0)); then
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -qq update >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get -qq install -y --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

cmake -S fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 \
    >/dev/null
cmake --build "$build_dir" -j 2 >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build_dir/artifacts"
failed=0
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target"
    options=(-max_total_time="$seconds" -timeout=10 -print_final_stats=1
        -artifact_prefix="$build_dir/artifacts/$target-")
    if [ -f "fuzz/$target.dict" ]; then options+=(-dict="fuzz/$target.dict"); fi
    log="$build_dir/$target.log"
    if "$build_dir/$target" "${options[@]}" "$scratch/$target" "fuzz/corpus/$target" \
        >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
        echo "$target: ${runs:-?} inputs in ${seconds}s, ${coverage:-cov: ?}, no failure"
    else
        failed=1
        echo "$target: FAILED (log: $log, input saved in $build_dir/artifacts/)"
        grep -E 'ERROR|SUMMARY|==[0-9]+==|runtime error|deadly signal' "$log" | head -20 || true
    fi
done
exit "$failed"
