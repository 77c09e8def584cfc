#!/usr/bin/env bash
# Installs the Debian packages, builds, installs and starts Clangwright.
#   CW_PREFIX=DIR   where to install (default /usr/local; a folder of your own,
#                   e.g. CW_PREFIX=$HOME/.local, needs no root)
# Arguments are passed on to the program (a preset file to open, or the
# toolkit's own options).
set -euo pipefail
cd "$(dirname "$0")/.."
prefix="${CW_PREFIX:-/usr/local}"
bash scripts/build.sh

SUDO=()
if [ "$(id -u)" -ne 0 ] && ! mkdir -p "$prefix" 2>/dev/null || [ ! -w "$prefix" ]; then
  SUDO=(sudo)
fi
"${SUDO[@]}" cmake --install build --prefix "$prefix"
# Let the desktop know the new file type and icons; harmless where the tools
# are missing.
if command -v update-mime-database >/dev/null && [ -d "$prefix/share/mime" ]; then
  "${SUDO[@]}" update-mime-database "$prefix/share/mime" >/dev/null 2>&1 || true
fi
if command -v gtk-update-icon-cache >/dev/null && [ -d "$prefix/share/icons/hicolor" ]; then
  "${SUDO[@]}" gtk-update-icon-cache -q -t "$prefix/share/icons/hicolor" >/dev/null 2>&1 || true
fi
exec "$prefix/bin/clangwright" "$@"
