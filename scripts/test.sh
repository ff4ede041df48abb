#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite (optimised build).
# With --asan it runs the address and undefined-behaviour sanitizer build instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
preset=default
[ "${1:-}" = "--asan" ] && preset=asan
cmake --workflow --preset "$preset"
