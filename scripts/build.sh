#!/usr/bin/env bash
# Installs what the build needs and builds everything into build/.
#   CW_PREFIX=DIR   install prefix the build is configured for (default /usr/local)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE="${CMAKE_BUILD_TYPE:-RelWithDebInfo}" \
  -DCMAKE_INSTALL_PREFIX="${CW_PREFIX:-/usr/local}"
cmake --build build -j"$(nproc)"
