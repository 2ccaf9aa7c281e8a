#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test suite: natively, under
# AddressSanitizer + UndefinedBehaviorSanitizer, under ThreadSanitizer, and the Windows build
# under Wine. All tests run in a private network namespace with only loopback (isolated.sh).
# Each preset's build runs while the preset before it is tested, at the lowest priority, so the
# tests keep the processor when they want it and the build takes what they leave (a simulated
# link or a window under Wine mostly waits). Prints one summary line per preset; exits non-zero
# if any build or test failed.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

start=$(date +%s)
"$here/scripts/install-deps.sh" || exit 1

presets=(linux linux-asan linux-tsan windows)
summary=()
status=0
mkdir -p build

# Configures and builds a preset in the background; its log and "status seconds" land beside.
build_in_background() {
    local preset=$1 target=${2:-}
    (
        began=$(date +%s)
        nice -n 19 bash -c 'cmake --preset "$1" >/dev/null && cmake --build --preset "$1" ${2:+--target "$2"}' \
            _ "$preset" "$target" > "build/$preset.build.log" 2>&1
        echo "$? $(( $(date +%s) - began ))" > "build/$preset.build.status"
    ) &
    builder=$!
}

# Waits for the build under way; true when it succeeded. Sets build_seconds.
finish_build() {
    local preset=$1
    wait "$builder"
    read -r built_status build_seconds < "build/$preset.build.status"
    if [ "$built_status" -ne 0 ]; then
        tail -n 40 "build/$preset.build.log"
        return 1
    fi
}

echo "=== ${presets[0]}: configure and build"
build_in_background "${presets[0]}"
for i in "${!presets[@]}"; do
    preset=${presets[$i]}
    if ! finish_build "$preset"; then
        summary+=("$preset: BUILD FAILED (build/$preset.build.log)")
        status=1
        ok=false
    else
        ok=true
    fi
    next=${presets[$((i + 1))]:-}
    if [ -n "$next" ]; then
        echo "=== $next: configure and build, beside the tests of $preset"
        build_in_background "$next"
    else
        echo "=== linux-fuzz: build, beside the tests of $preset"
        build_in_background linux-fuzz velmora_scanner_fuzz
    fi
    $ok || continue

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
    tested=$(date +%s)
    "$here/scripts/isolated.sh" "${runner[@]}" ctest --preset "$preset" 2>&1 | tee "$log"
    result=${PIPESTATUS[0]}
    line=$(grep -E 'tests passed' "$log" | tail -n 1)
    skipped=$(grep -cE '\*\*\*Skipped' "$log")
    summary+=("$preset: ${line:-no test result} (skipped: $skipped; build $build_seconds s, tests $(( $(date +%s) - tested )) s)")
    [ "$result" -eq 0 ] || status=1
done

fuzz_start=$(date +%s)
echo "=== fuzz: the text scanners under libFuzzer, 60 s"
if finish_build linux-fuzz && "$here/scripts/fuzz.sh" 60 > build/fuzz.log 2>&1; then
    summary+=("fuzz: $(grep -oE 'Done [0-9]+ runs' build/fuzz.log | tail -n 1), $(grep -E '^coverage: ' build/fuzz.log | tail -n 1), no crash or sanitizer report (build $build_seconds s, $(( $(date +%s) - fuzz_start )) s after the tests)")
else
    tail -n 30 build/fuzz.log 2>/dev/null
    summary+=("fuzz: FAILED (see build/linux-fuzz.build.log, build/fuzz.log and build/linux-fuzz/crashes/)")
    status=1
fi

echo
echo "=== summary ($(( $(date +%s) - start )) s)"
printf '  %s\n' "${summary[@]}"
[ "$status" -eq 0 ] && echo "  ALL PASSED" || echo "  FAILURES"
exit "$status"
