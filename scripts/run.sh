#!/usr/bin/env bash
# Builds the demo in Release and runs it (in a virtual framebuffer when there is no display).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
# Tests and benchmarks stay off here: their packages are only installed for the test command.
cmake --preset release -DNADIRPORT_BUILD_TESTS=OFF -DNADIRPORT_BUILD_BENCH=OFF >/dev/null
cmake --build build/release --target nadirport -j"$(nproc)"

if [[ -n "${DISPLAY:-}" ]]; then
    exec build/release/nadirport
fi
echo "run: no DISPLAY; running in Xvfb (nothing will be visible)"
exec xvfb-run -a -s "-screen 0 1280x800x24" build/release/nadirport
