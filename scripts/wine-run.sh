#!/usr/bin/env bash
# Runs a Windows test executable under wine: quiet debug output, a private
# WINEPREFIX inside the build folder, and no debugger, so that a crash is a
# failure and never a hang.
set -euo pipefail
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
export WINEPREFIX="${SHARPSTACK_WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/windows/wineprefix}"
mkdir -p "$WINEPREFIX"
exec wine "$@"
