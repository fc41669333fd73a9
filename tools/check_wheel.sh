#!/usr/bin/env bash
# Builds a wheel from the source tree, installs it with the test extra into a
# fresh virtual environment and runs the test suite against that install.
#
#   tools/check_wheel.sh [wheel-folder]
#
# The wheel is kept in wheel-folder when one is given. The tests run from an
# empty scratch folder with PYTHONPATH cleared, so the only tessarin_rs they
# can import is the one the wheel installed (the script checks this before
# running them). PYTHON selects the interpreter (default python3).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
python=${PYTHON:-python3}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
out=${1:-$scratch/wheels}
mkdir -p "$out"
out=$(cd "$out" && pwd)
unset PYTHONPATH MYPYPATH
start=$SECONDS

echo "== building the wheel into $out"
"$python" -m pip wheel "$here" --no-deps -w "$out"
# The newest wheel of the project in the folder is the one just built.
wheel=$(ls -t "$out"/tessarin-*.whl | head -n 1)
echo "== built $(basename "$wheel") ($((SECONDS - start)) s)"

echo "== installing it with the test extra into a fresh virtual environment"
"$python" -m venv "$scratch/venv"
venv_python=$scratch/venv/bin/python
"$venv_python" -m pip install --quiet --upgrade pip
"$venv_python" -m pip install --quiet "$wheel[test]"

mkdir "$scratch/run"
cd "$scratch/run"
"$venv_python" - "$scratch/venv" <<'EOF'
import sys
from pathlib import Path

import tessarin_rs

venv = Path(sys.argv[1]).resolve()
module = Path(tessarin_rs.__file__).resolve()
stubs = module.parent / "tessarin_rs-stubs" / "__init__.pyi"
if venv not in module.parents:
    sys.exit(f"tessarin_rs was imported from {module}, not from the fresh environment")
if not stubs.is_file():
    sys.exit(f"the wheel did not install the type stubs beside {module.name}")
print(f"== testing {module}")
EOF
# No cache folder in the source tree; the tests are taken from it by path.
"$venv_python" -m pytest -q -p no:cacheprovider "$here/tests"
echo "== wheel check passed in $((SECONDS - start)) s"
