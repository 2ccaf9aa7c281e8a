#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (default 30 s).
# Exits non-zero on a crash or a sanitizer report; the input that caused it is kept in
# build/linux-fuzz/crashes/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${1:-30}

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz --target velmora_scanner_fuzz
mkdir -p build/linux-fuzz/corpus build/linux-fuzz/crashes
# Seeds: a real history block, a geolocation answer and a trace.
cp tests/history/golden/one_measurement.html build/linux-fuzz/corpus/page.html
printf '<history>\n  <measurement timestamp="2025-03-07 09:05:02">\n    <downloadMbps>93.46</downloadMbps>\n    <downloadSamples>80.00,100.00</downloadSamples>\n  </measurement>\n</history>\n' \
    > build/linux-fuzz/corpus/history.xml
printf '{"status":"success","query":"1.2.3.4","lat":-23.55,"lon":-46.63}\ncolo=GRU\nloc=BR\n' \
    > build/linux-fuzz/corpus/geo.json
build/linux-fuzz/tests/fuzz/velmora_scanner_fuzz build/linux-fuzz/corpus \
    -max_total_time="$seconds" -max_len=65536 -artifact_prefix=build/linux-fuzz/crashes/ \
    -print_final_stats=1 2>&1 | tail -n 15
