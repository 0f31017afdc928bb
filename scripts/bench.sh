#!/usr/bin/env bash
# Installs what is missing, builds the x86-64 build (what runs under Wine) and the shipped
# PE32, and runs the transfer benchmark. Arguments go to bench/run.py (--rounds, --sizes).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for preset in win64 win32; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" >/dev/null
done
exec python3 bench/run.py "$@"
