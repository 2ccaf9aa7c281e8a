#!/usr/bin/env bash
# The main job: installs what is missing and builds the release programs for Windows (and the
# native ones), collecting the Windows executables in dist/.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

"$here/scripts/install-deps.sh"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset linux >/dev/null
cmake --build --preset linux

mkdir -p dist
for program in VELMORA.exe VELMORA-Setup.exe velmora-cli.exe; do
    found=$(find build/windows -name "$program" -type f | head -n 1)
    [ -n "$found" ] && cp "$found" dist/
done
echo "build: Windows and Linux builds are up to date; dist/ holds: $(ls dist | tr '\n' ' ')"
