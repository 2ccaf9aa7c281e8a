#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test suite: natively, under
# AddressSanitizer + UndefinedBehaviorSanitizer, under ThreadSanitizer, and the Windows build
# under Wine. All tests run in a private network namespace with only loopback (isolated.sh).
# Prints one summary line per preset; exits non-zero if any build or test failed.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

start=$(date +%s)
"$here/scripts/install-deps.sh" || exit 1

presets=(linux linux-asan linux-tsan windows)
summary=()
status=0

for preset in "${presets[@]}"; do
    preset_start=$(date +%s)
    echo "=== $preset: configure and build"
    if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; }; then
        summary+=("$preset: BUILD FAILED")
        status=1
        continue
    fi
    echo "=== $preset: test"
    log="build/$preset/ctest.log"
    if [ "$preset" = windows ]; then
        # Wine's server must start inside the namespace so its sockets are made there too.
        runner=(bash -c 'export VELMORA_WINE_ROOT="$1"; shift
                         scripts/wine-run.sh --warm; "$@"; s=$?; scripts/wine-run.sh --stop; exit $s'
                _ "$here/build/windows")
    else
        runner=()
    fi
    built=$(date +%s)
    "$here/scripts/isolated.sh" "${runner[@]}" ctest --preset "$preset" 2>&1 | tee "$log"
    result=${PIPESTATUS[0]}
    line=$(grep -E 'tests passed' "$log" | tail -n 1)
    skipped=$(grep -cE '\*\*\*Skipped' "$log")
    now=$(date +%s)
    summary+=("$preset: ${line:-no test result} (skipped: $skipped; build $((built - preset_start)) s, tests $((now - built)) s)")
    [ "$result" -eq 0 ] || status=1
done

fuzz_start=$(date +%s)
echo "=== fuzz: the text scanners under libFuzzer, 60 s"
if "$here/scripts/fuzz.sh" 60 > build/fuzz.log 2>&1; then
    summary+=("fuzz: $(grep -oE 'Done [0-9]+ runs' build/fuzz.log | tail -n 1), $(grep -E '^coverage: ' build/fuzz.log | tail -n 1), no crash or sanitizer report ($(( $(date +%s) - fuzz_start )) s)")
else
    tail -n 30 build/fuzz.log
    summary+=("fuzz: FAILED (see build/fuzz.log and build/linux-fuzz/crashes/)")
    status=1
fi

echo
echo "=== summary ($(( $(date +%s) - start )) s)"
printf '  %s\n' "${summary[@]}"
[ "$status" -eq 0 ] && echo "  ALL PASSED" || echo "  FAILURES"
exit "$status"
