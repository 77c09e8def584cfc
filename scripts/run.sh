#!/usr/bin/env bash
# Installs, builds and starts Clangwright. Until the window exists this renders
# the default instrument headless to default.wav.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
if [ -x build/src/app/clangwright ]; then
  exec build/src/app/clangwright "$@"
fi
exec build/src/cli/clangwright-render -o default.wav "$@"
