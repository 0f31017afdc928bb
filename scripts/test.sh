#!/usr/bin/env bash
# Installs what is missing, builds the three presets and runs every test:
# the portable core natively with sanitizers, and the Windows side under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in host win64 win32; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
done

# One persistent wineserver for the whole run saves a start-up per test program. Wine's own
# background processes start here, away from ctest's output pipes, which they would hold open.
export LUMVEX_WINEPREFIX="$PWD/build/wineprefix"
export WINEPREFIX="$LUMVEX_WINEPREFIX"
cmake/wine-run cmd /c exit </dev/null >/dev/null 2>&1
/usr/lib/wine/wineserver -k 2>/dev/null || true
/usr/lib/wine/wineserver -w
/usr/lib/wine/wineserver -p
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
cmake/wine-run cmd /c exit </dev/null >/dev/null 2>&1

status=0
ctest --preset host || status=1
ctest --preset win32 || status=1
ctest --preset win64 || status=1
echo "test: $(scripts/i386.sh describe)"
exit $status
