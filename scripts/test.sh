#!/usr/bin/env bash
# Builds the project and runs every test with ctest: once in a normal build (build/) and
# once under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/).
#   scripts/test.sh           both builds
#   scripts/test.sh --quick   the normal build only
# Installs the Debian packages it needs (cmake, g++, libgtest-dev; pybind11, the Python headers
# and numpy for the Python module and its tests; Dask, distributed, xarray and rioxarray for its
# cluster mode's tests) when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh
need_packages cmake g++ libgtest-dev pybind11-dev python3-pybind11 python3-dev python3-numpy
need_packages python3-dask python3-distributed python3-xarray python3-rioxarray

jobs=$(nproc 2>/dev/null || echo 2)
run_suite() { # build-dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVANDE_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

run_suite build
if [ "${1:-}" != "--quick" ]; then
  echo "== the same tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
  # A sanitizer report ends the process with status 86, not with the 1 of the tool's own
  # refusals, so that a test expecting status 1 cannot pass on a memory error.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=86 UBSAN_OPTIONS=print_stacktrace=1:exitcode=86 \
    run_suite build-asan -DORVANDE_SANITIZE=ON
fi
