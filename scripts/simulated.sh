#!/usr/bin/env bash
# One measurement of a simulated internet, for machines that cannot reach the real one: a link
# shaped to 100/20 Mbit/s at 20 ms with the geolocation service, the Cloudflare edge and three
# operator servers under their real names (tests/e2e/testbed, network namespaces of its own,
# root). velmora-cli runs unmodified inside; its history and report stay in build/simulated/.
# Usage: scripts/simulated.sh VELMORA_CLI [velmora-cli options]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cli=$(realpath "$1")
shift

work="$here/build/simulated"
mkdir -p "$work/history"
# The report folder must be private to the user (the program refuses one that others can write).
install -d -m 0700 "$work/report"

# A testbed of its own (its subnet 10.213.230.0/24), apart from the ones the tests use.
export TB_ID=${VELMORA_SIMULATED_TB_ID:-230}
testbed="$here/tests/e2e/testbed/testbed"
# The testbed's own messages go to standard error: standard output is the program's (--json and
# --csv stay parseable).
trap '"$testbed" down >&2' EXIT
"$testbed" up --down-mbit 100 --up-mbit 20 --rtt-ms 20 \
    --host speedtest-spo.vivo.com.br=ookla:15 \
    --host speedtest.spo.claro.com.br=ookla:25 \
    --host speedtest.sp1.equinix.com=ookla:30 >&2
status=0
"$testbed" exec -- "$cli" --history-dir "$work/history" "$@" || status=$?

# The report is made outside the testbed: it needs no network.
"$testbed" down >&2
trap - EXIT
page=$(XDG_RUNTIME_DIR="$work/report" "$cli" --report --history-dir "$work/history") || true
echo "run: history report: ${page:-(none)}" >&2
exit "$status"
