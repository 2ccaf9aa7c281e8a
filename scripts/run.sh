#!/usr/bin/env bash
# The main job: installs what is missing, builds the programs (native and Windows) and runs one
# real measurement with velmora-cli against the built-in internet servers. The Windows programs
# are collected in dist/. Where those servers cannot be reached (no route, no name resolution),
# or with --simulated, it measures the simulated internet instead (scripts/simulated.sh). Other
# arguments go to velmora-cli (for example --json).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

simulated=0
args=()
for arg in "$@"; do
    if [ "$arg" = --simulated ]; then simulated=1; else args+=("$arg"); fi
done

# Whether the built-in servers answer: their names resolve and a TCP connection opens.
internet_reachable() {
    local host
    for host in speed.cloudflare.com ip-api.com; do
        getent hosts "$host" >/dev/null 2>&1 || return 1
    done
    timeout 5 bash -c 'exec 3<>/dev/tcp/speed.cloudflare.com/443' 2>/dev/null
}

"$here/scripts/install-deps.sh"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release

mkdir -p dist
for program in VELMORA.exe VELMORA-Setup.exe velmora-cli.exe; do
    found=$(find build/windows -name "$program" -type f | head -n 1)
    [ -n "$found" ] && cp "$found" dist/
done
echo "run: Windows programs in dist/: $(ls dist | tr '\n' ' ')"
cli=build/linux-release/cli/velmora-cli
if [ "$simulated" = 0 ] && ! internet_reachable; then
    echo "run: the built-in internet servers cannot be reached from here (no route or no name resolution): measuring the simulated internet instead, 100/20 Mbit/s at 20 ms"
    simulated=1
fi
if [ "$simulated" = 1 ]; then
    exec "$here/scripts/simulated.sh" "$cli" ${args[@]+"${args[@]}"}
fi
exec "$cli" ${args[@]+"${args[@]}"}
