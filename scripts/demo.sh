#!/usr/bin/env bash
# Sets up, builds, and stacks a generated sample focus series with the
# command-line host; the series, its composite and a side-by-side picture land
# in ./sharpstack-demo/ of the folder it is started from (or in the folder
# given as the first argument).
set -euo pipefail
# The folder is taken before moving to the repository to build.
destination="$(realpath -m -- "${1:-sharpstack-demo}")"
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target sharpstack
# The demo keeps its focus buffer in <folder>/buffer, away from the user's own.
exec build/default/bin/sharpstack demo "$destination"
