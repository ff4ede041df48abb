#!/usr/bin/env bash
# Sets up, builds, and stacks a generated sample focus series with the
# command-line host; the composite lands in ./sharpstack-demo/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -x build/default/bin/sharpstack ]; then
  exec build/default/bin/sharpstack demo "${1:-sharpstack-demo}"
fi
# Until the command-line host is built, run the self-checks of what exists.
ctest --preset default
