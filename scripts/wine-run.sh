#!/usr/bin/env bash
# Runs a Windows test executable under wine: quiet debug output, a private
# WINEPREFIX inside the build folder, and no debugger, so that a crash is a
# failure and never a hang.
#
#   wine-run.sh [--prefix DIR] program.exe [arguments...]
#   wine-run.sh [--prefix DIR] --start-server   (the test suite's first test)
#   wine-run.sh [--prefix DIR] --stop-server    (its last)
#
# The prefix is DIR, else $SHARPSTACK_WINEPREFIX, else build/windows/wineprefix
# of the source tree. A new prefix is set up once, under a lock, before the
# first program runs in it. Between --start-server and --stop-server one
# persistent wine server serves every test, so no test waits for a server to
# start or to linger and exit.
set -euo pipefail

prefix="${SHARPSTACK_WINEPREFIX:-$(cd "$(dirname "$0")/.." && pwd)/build/windows/wineprefix}"
if [ "${1:-}" = "--prefix" ]; then
  prefix="$2"
  shift 2
fi

export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
export WINEARCH=win64
# Without a debugger a crash ends the process; make sure no crash dialog waits.
export WINE_NO_CRASH_DIALOG=1

# Sets the prefix up unless that has been done (once, even when several
# programs start at the same moment).
ensure_prefix() {
  mkdir -p "$WINEPREFIX"
  if [ -f "$WINEPREFIX/.sharpstack-ready" ]; then
    return
  fi
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.sharpstack-ready" ]; then
      # A first program waits until wineboot has finished the prefix.
      wine cmd /c exit >/dev/null 2>&1 || true
      # No crash dialog: a crashing test ends at once with a failure.
      wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >/dev/null 2>&1 || true
      touch "$WINEPREFIX/.sharpstack-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
}

case "${1:-}" in
  --start-server)
    ensure_prefix
    # The server and the system processes that the first program starts stay
    # up; they must not hold the caller's output open, or whoever reads it
    # would wait for them.
    # A server that setting the prefix up started may still be lingering (it
    # refuses -p then, with status 2): wait for it to go, then try again.
    for _ in 1 2 3 4 5; do
      if wineserver -p </dev/null >/dev/null 2>&1; then
        wine cmd /c exit </dev/null >/dev/null 2>&1 || true
        exit 0
      fi
      timeout 30 wineserver -w 2>/dev/null || true
    done
    exit 1
    ;;
  --stop-server)
    wineserver -k 2>/dev/null || true
    exit 0
    ;;
  "")
    echo "usage: $0 [--prefix DIR] program.exe [arguments...]" >&2
    exit 2
    ;;
esac

ensure_prefix
exec wine "$@"
