#!/usr/bin/env bash
# Fast rebuild for development: compiles the extension into a build folder
# (default build/dev) without pip. Use it with
#   tools/dev_build.sh [folder] && PYTHONPATH=[folder] python -m pytest
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/build/dev}
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$out"
