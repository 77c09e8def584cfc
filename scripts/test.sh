#!/usr/bin/env bash
# Installs, builds and runs the whole test suite. Tests that need a display run
# under a private Xvfb; the sound tests start their own PulseAudio server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
cd build
if [ -z "${DISPLAY:-}" ]; then
  # -noreset: the server must not restart whenever its last client leaves, or a
  # program started right then finds no display.
  xvfb-run -a -s "-screen 0 1280x1024x24 -noreset" ctest --output-on-failure
else
  ctest --output-on-failure
fi
