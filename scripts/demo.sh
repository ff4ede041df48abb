#!/usr/bin/env bash
# Sets up, builds, and stacks a generated sample focus series with the
# command-line host; the series and its composite land in ./sharpstack-demo/
# (or the folder given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target sharpstack
# The demo keeps its focus buffer in <folder>/buffer, away from the user's own.
exec build/default/bin/sharpstack demo "${1:-sharpstack-demo}"
