#!/usr/bin/env bash
# The main job: installs what is missing, builds the programs (native and Windows) and runs one
# real measurement with velmora-cli against the built-in internet servers. The Windows programs
# are collected in dist/. Extra arguments go to velmora-cli (for example --json).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

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
exec build/linux-release/cli/velmora-cli "$@"
