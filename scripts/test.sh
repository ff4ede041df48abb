#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite (optimised build).
# With --asan it runs the address and undefined-behaviour sanitizer build instead;
# with --clang the same build and tests compiled by clang (warnings as errors);
# with --windows the 64-bit Windows cross build, its tests run under wine (the
# dialog tests on a virtual X server).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
case "${1:-}" in
  --asan)
    bash scripts/setup.sh
    preset=asan
    ;;
  --clang)
    bash scripts/setup.sh clang
    preset=clang
    ;;
  --windows)
    bash scripts/setup.sh g++-mingw-w64-x86-64 wine64 wine xvfb xauth googletest
    preset=windows
    ;;
  *)
    bash scripts/setup.sh
    ;;
esac
cmake --workflow --preset "$preset"
