#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (default 30 s), from
# the seeds in tests/fuzz/corpus/ (read, never written), the report page's golden file and the
# inputs found on earlier runs in build/linux-fuzz/corpus/. Exits non-zero on a crash or a sanitizer report (the input that
# caused it is kept in build/linux-fuzz/crashes/), or when the engine code it fuzzes was built
# without coverage instrumentation. Ends with one line: the coverage reached.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${1:-30}
build=build/linux-fuzz
target=velmora_scanner_fuzz

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz --target "$target"

# libFuzzer is guided only by code that carries its edge counters (the __sancov_cntrs section
# -fsanitize=fuzzer-no-link gives each object): a library built without them is fuzzed blind,
# and the run still passes. So every object of every engine library the target links needs one.
ninja=$(sed -n 's/^CMAKE_MAKE_PROGRAM:[A-Z]*=//p' "$build/CMakeCache.txt")
libraries=$("$ninja" -C "$build" -t query "tests/fuzz/$target" |
    sed -nE 's/^ *\|{1,2} ([^/ ][^ ]*\.a)$/\1/p' | sort -u)
blind=$(for library in $libraries; do readelf -SW "$build/$library"; done | awk '
    /^File: / { if (name != "" && !counted) { blind++; first = first == "" ? name : first }
                name = $2; counted = 0; objects++ }
    /__sancov_cntrs/ { counted = 1 }
    END { if (name != "" && !counted) { blind++; first = first == "" ? name : first }
          printf "%d %d %s\n", blind, objects, first }')
read -r blind_count object_count first_blind <<<"$blind"
if [ "$object_count" -eq 0 ] || [ "$blind_count" -ne 0 ]; then
    echo "fuzz: $blind_count of $object_count objects in the libraries $target links have no" \
        "coverage counters (built without -fsanitize=fuzzer-no-link), e.g. ${first_blind:-none}" >&2
    exit 1
fi

mkdir -p "$build/corpus" "$build/crashes"
# The report page's golden file seeds it too, from where its own test keeps it.
cp tests/history/golden/one_measurement.html "$build/corpus/report.html"
log=$build/fuzz-run.log
status=0
"$build/tests/fuzz/$target" "$build/corpus" tests/fuzz/corpus \
    -max_total_time="$seconds" -max_len=65536 -artifact_prefix="$build/crashes/" \
    -print_final_stats=1 >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    cat "$log"
    exit "$status"
fi
tail -n 15 "$log"
coverage=$(sed -nE 's|^#[0-9]+[[:space:]]+DONE[[:space:]]+cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+)/.*|coverage: cov \1 ft \2, corpus \3 inputs|p' "$log")
if [ -z "$coverage" ]; then
    echo "fuzz: libFuzzer ended without its final coverage line (see $log)" >&2
    exit 1
fi
echo "$coverage"
