#!/usr/bin/env bash
# Cross-builds TovZelt for 64-bit ARM Linux in build-aarch64 (cmake/aarch64-linux-gnu.cmake) and
# runs its test suite under qemu-user against this machine's store: the amd64 Redis server,
# started by the installed startup script. Prints which tests ran, passed and were skipped, and
# why.
#
#   scripts/cross_test.sh [--build-dir DIR] [-R REGEX]
#
# The product's scripts must be installed (/opt/tovana/hvx/tov-zelt, as scripts/run_tests.sh
# installs them): the aarch64 test programs start the server through them like the native ones.
#
# ctest runs each test program through qemu-aarch64 (CMAKE_CROSSCOMPILING_EMULATOR). Programs
# that the tests start themselves (zelt_tool, the listener's exit program, the logging helper)
# are aarch64 files too: the kernel hands them to qemu through binfmt_misc. When that cannot be
# set up, the tests that start them are left out, and the summary says so.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-aarch64
filter=""
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir=$2; shift 2 ;;
        -R) filter=$2; shift 2 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done

readonly HOME_DIR=/opt/tovana/hvx/tov-zelt
# Tests whose programs start other aarch64 programs: zelt_tool, the listener's exit program,
# the logging helper, or their own executable again (a scenario in a fresh process, off the
# network or in namespaces of its own).
readonly EXEC_TESTS=(tool_command_test tool_config_test listener_exit_test tovclog_test
    change_notes_test free_commands_test parameters_isolated_test fault_bad_input_test)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
seconds_since() { echo $(($(date +%s) - $1)); }

bash scripts/install_deps.sh --cross

# --- binfmt_misc: lets the kernel run aarch64 files through qemu-aarch64 -------------------
binfmt_reason=""
enable_binfmt() {
    local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
    if [ -r "$entry" ] && head -n 1 "$entry" | grep -qx enabled; then return 0; fi
    # update-binfmts mounts binfmt_misc when needed and registers qemu-user-binfmt's entry.
    if ! as_root update-binfmts --enable qemu-aarch64 >/dev/null 2>&1; then
        binfmt_reason="update-binfmts --enable qemu-aarch64 failed (binfmt_misc cannot be mounted or written here)"
        return 1
    fi
    if ! { [ -r "$entry" ] && head -n 1 "$entry" | grep -qx enabled; }; then
        binfmt_reason="no enabled binfmt_misc entry qemu-aarch64 after update-binfmts"
        return 1
    fi
}

# --- build ------------------------------------------------------------------------------------
start=$(date +%s)
cmake -S . -B "$build_dir" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j 2
build_s=$(seconds_since "$start")

# --- the artefacts are aarch64; the installed zelt_tool finds the installed libraries ---------
stage=$(mktemp -d)
results=$(mktemp -d)
chmod 1777 "$results"  # test programs may write their reports as another user
trap 'rm -rf "$stage" "$results"' EXIT
DESTDIR=$stage cmake --install "$build_dir" --component runtime >/dev/null
artefacts=(
    "$stage/usr/local/lib/libtovzelt.so.1"
    "$stage/usr/local/lib/libtovclog.so.1"
    "$stage$HOME_DIR/tools/zelt_tool"
    "$build_dir/tests/parameters/parameters_test"
)
for f in "${artefacts[@]}"; do
    description=$(file -bL "$f")
    echo "${f#"$stage"}: ${description%%, BuildID*}"
    if [[ $description != *"ARM aarch64"* ]]; then
        echo "cross_test: $f is not an aarch64 file" >&2
        exit 1
    fi
done
run_path=$(readelf -d "$stage$HOME_DIR/tools/zelt_tool" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
echo "installed zelt_tool run path: ${run_path:-none}"
if [ "$run_path" != /usr/local/lib ]; then
    echo "cross_test: the installed zelt_tool must carry /usr/local/lib as its run path" >&2
    exit 1
fi

# --- emulation ---------------------------------------------------------------------------------
ctest_args=(--test-dir "$build_dir" --output-on-failure -j 2)
if [ -n "$filter" ]; then ctest_args+=(-R "$filter"); fi
excluded_reason=""
if enable_binfmt; then
    # Run one aarch64 test program as the tests run theirs: by its own path, no qemu named.
    if ! "$build_dir/tests/tool/tool_core_test" --gtest_list_tests >/dev/null 2>&1; then
        binfmt_reason="the kernel does not run aarch64 files although qemu-aarch64 is registered"
    fi
fi
if [ -n "$binfmt_reason" ]; then
    excluded_reason="they start aarch64 programs, which this machine cannot run directly: $binfmt_reason"
    exclude=$(IFS='|'; echo "${EXEC_TESTS[*]}")
    ctest_args+=(-E "^($exclude)\$")
    echo "cross_test: leaving out ${EXEC_TESTS[*]}: $excluded_reason"
fi

if [ ! -x "$HOME_DIR/redis_startup.sh" ]; then
    echo "cross_test: $HOME_DIR/redis_startup.sh is not installed (run scripts/run_tests.sh first)" >&2
    exit 1
fi
"$HOME_DIR/redis_startup.sh"

start=$(date +%s)
status=0
GTEST_OUTPUT="xml:$results/" ctest "${ctest_args[@]}" | tee "$results/ctest.log" || status=$?
test_s=$(seconds_since "$start")

# --- summary -----------------------------------------------------------------------------------
# ctest's verdict per test program; GoogleTest's report (one XML file per program) per case.
echo
echo "=== aarch64 test summary (qemu-aarch64, $(qemu-aarch64 --version | head -n 1))"
programs_passed=$(grep -cE 'Test +#[0-9]+: .* Passed' "$results/ctest.log" || true)
programs_failed=$(grep -cE 'Test +#[0-9]+: .*(\*\*\*|Failed|Timeout|Not Run)' "$results/ctest.log" || true)
cases=0 skipped=0 failed=0 disabled=0
# A program that runs a scenario in a fresh copy of itself leaves that copy's report too, under
# a numbered name (<program>_1.xml...): the program's own report is the one with most cases.
mapfile -t programs < <(for xml in "$results"/*.xml; do
    [ -e "$xml" ] || continue
    basename "$xml" .xml | sed 's/_[0-9][0-9]*$//'
done | sort -u)
for program in "${programs[@]}"; do
    xml=$(for f in "$results/$program".xml "$results/$program"_[0-9]*.xml; do
        [ -e "$f" ] || continue
        echo "$(grep -c '<testcase ' "$f" || true) $f"
    done | sort -k1,1nr | head -n 1 | cut -d' ' -f2-)
    # "counts <cases> <skipped> <failed> <disabled>", then one line per skipped case with the
    # reason it gave (GTEST_SKIP() << reason).
    report=$(awk '
        function attr(line, key) {
            if (!match(line, key "=\"[^\"]*\"")) return ""
            return substr(line, RSTART + length(key) + 2, RLENGTH - length(key) - 3)
        }
        function unescape(text) {
            gsub(/&#x0A;/, " ", text); gsub(/&quot;/, "\"", text); gsub(/&apos;/, "\047", text)
            gsub(/&lt;/, "<", text); gsub(/&gt;/, ">", text); gsub(/&amp;/, "\\&", text)
            return text
        }
        /<testcase / {
            n++; name = attr($0, "classname") "." attr($0, "name")
            if (attr($0, "status") == "notrun") d++
        }
        /<failure / { if (name != last_failed) { f++; last_failed = name } }
        /<skipped / { s++; printf "      skipped %s: %s\n", name, unescape(attr($0, "message")) }
        END { printf "counts %d %d %d %d\n", n, s, f, d }
    ' "$xml")
    read -r _ n s f d <<<"$(grep '^counts ' <<<"$report")"
    n=$((n - d))
    cases=$((cases + n)) skipped=$((skipped + s)) failed=$((failed + f)) disabled=$((disabled + d))
    printf '  %-26s %3d cases: %3d passed, %d failed, %d skipped' \
        "$program" "$n" $((n - s - f)) "$f" "$s"
    if ((d > 0)); then printf ' (+%d disabled: run only inside the parent test)' "$d"; fi
    echo
    grep -v '^counts ' <<<"$report" || true
done
if [ -n "$excluded_reason" ]; then
    for t in "${EXEC_TESTS[@]}"; do echo "  $t: left out: $excluded_reason"; done
fi
left_out=""
if [ -n "$excluded_reason" ]; then left_out=", ${#EXEC_TESTS[@]} left out"; fi
echo "test programs: $programs_passed passed, $programs_failed failed$left_out"
echo "durations: cross build ${build_s}s, emulated test run ${test_s}s"
echo "aarch64: $((cases - skipped - failed)) passed, $failed failed, $skipped skipped"
exit "$status"
