#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test suite: natively, under
# AddressSanitizer + UndefinedBehaviorSanitizer, under ThreadSanitizer, and the Windows build
# under Wine. All tests run in a private network namespace with only loopback (isolated.sh).
# The first preset is built alone; then the others are built one after another in the
# background, at the lowest priority, while the presets before them are tested, so the tests keep
# the processor when they want it and the builds take what they leave (a simulated link or a
# window under Wine mostly waits). Prints one summary line per preset; exits non-zero if any build
# or test failed.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

start=$(date +%s)
"$here/scripts/install-deps.sh" || exit 1

# Windows first after the native build: its build is the longest, and its tests the longest
# beside which the sanitizer builds can run.
presets=(linux windows linux-asan linux-tsan)
summary=()
status=0
mkdir -p build
rm -f build/*.build.status

# Configures and builds a preset (or one target of it); its log and "status seconds" land in
# build/.
build() {
    local preset=$1 target=${2:-}
    local began
    began=$(date +%s)
    { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" ${target:+--target "$target"}; } \
        > "build/$preset.build.log" 2>&1
    echo "$? $(( $(date +%s) - began ))" > "build/$preset.build.status"
}

# Waits for a preset's build; true when it succeeded. Sets build_seconds.
finish_build() {
    local preset=$1 built_status
    while [ ! -s "build/$preset.build.status" ]; do
        sleep 2
    done
    read -r built_status build_seconds < "build/$preset.build.status"
    if [ "$built_status" -ne 0 ]; then
        tail -n 40 "build/$preset.build.log"
        return 1
    fi
}

echo "=== ${presets[0]}: configure and build"
build "${presets[0]}"
echo "=== ${presets[*]:1} and linux-fuzz: configure and build in turn, beside the tests"
(
    for preset in "${presets[@]:1}"; do
        nice -n 19 bash -c "$(declare -f build); build $preset"
    done
    nice -n 19 bash -c "$(declare -f build); build linux-fuzz velmora_scanner_fuzz"
) &
builder=$!

for preset in "${presets[@]}"; do
    if ! finish_build "$preset"; then
        summary+=("$preset: BUILD FAILED (build/$preset.build.log)")
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
wait "$builder"
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
