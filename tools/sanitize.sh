#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the test suite against that build.
#
#   tools/sanitize.sh [build folder] [pytest arguments, default: the suite
#                                     without the kernel checks and examples]
#
# The interpreter itself is not instrumented, so the ASan runtime has to be
# the first library in the process: it is preloaded.  Leak detection is off
# because CPython keeps interned objects and arenas alive until exit, which
# LeakSanitizer would report as leaks of the interpreter, not of the module
# (the module's own leaks are checked by the leak tests).
# Allocations too large to satisfy return null, as they do without ASan, so
# the MemoryError paths are exercised rather than aborted.  Every sanitizer
# report aborts the process, so a report fails the test that triggered it,
# and the log files are checked at the end as well.
#
# Tests marked slow are left out: under the sanitizers they cost minutes and
# add no code path the fast tests do not reach.  So, by default, are the C++
# kernel checks (each compiles a program of its own, about two minutes in all
# with the sanitizers, while the modules under test run the same kernels) and
# the example scripts (plotting in Python over calls the other tests make).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$here/build/sanitize}
shift || true
python=$(command -v python3)

# A fresh virtual environment may lack the build tools of a direct CMake run.
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  "$python" -m pip install --quiet cmake ninja
fi

flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g1"
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$python" \
  -DCMAKE_CXX_FLAGS="$flags" -DTESSARIN_OPTIMIZE=-O1 \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$out"

cxx=${CXX:-g++}
asan=$("$cxx" -print-file-name=libasan.so)
ubsan=$("$cxx" -print-file-name=libubsan.so)
logdir=$(mktemp -d)

# C++ kernel checks in the suite are compiled with the same sanitizers.
export TESSARIN_SANITIZE_CXXFLAGS="$flags"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$logdir/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logdir/ubsan"
# Python objects go through malloc so ASan sees them too.
export PYTHONMALLOC=malloc
status=0
if [ $# -eq 0 ]; then
  set -- "$here/tests" --ignore="$here/tests/test_kernels.py" --ignore="$here/tests/test_examples.py"
fi
LD_PRELOAD="$asan $ubsan" PYTHONPATH="$out" \
  "$python" -m pytest -q -p no:cacheprovider -m "not slow" "$@" || status=$?

# ASan also logs a warning for every allocation it declines; those are the
# MemoryError tests working, not findings.
if compgen -G "$logdir/*" >/dev/null; then
  if grep -l -E "ERROR: (Address|UndefinedBehavior)Sanitizer|runtime error:" "$logdir"/* >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$logdir"/* >&2
    status=1
  fi
fi
echo "sanitizer run: exit status $status" >&2
rm -rf "$logdir"
exit $status
