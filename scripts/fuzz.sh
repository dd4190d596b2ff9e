#!/usr/bin/env bash
# Builds the libFuzzer targets with CMake and clang++-14 (fuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs them on one core.
#   scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]
#       one target; its corpus lives in fuzz/corpus-TARGET/ (not committed), seeded from
#       fuzz/seeds-TARGET/; findings are written to fuzz/artifacts/TARGET/.
#   scripts/fuzz.sh --ci SECONDS
#       every target for SECONDS each, on a scratch copy of its seeds (build-fuzz/ci/); each
#       finding is printed (its path and a hex dump) and makes the script end with status 1.
# Targets: charge_bmp, run (fuzz/CMakeLists.txt lists their sources). Installs cmake,
# clang-14 and libclang-rt-14-dev when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh

TARGETS=(charge_bmp run)
usage() {
  echo "usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...] | scripts/fuzz.sh --ci SECONDS" >&2
  echo "targets: ${TARGETS[*]}" >&2
  exit 2
}
[ $# -ge 2 ] || usage
[[ $2 =~ ^[0-9]+$ ]] || usage

build() { # targets...
  need_packages cmake clang-14 libclang-rt-14-dev
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER="${CXX:-clang++-14}" -DORVANDE_FUZZ=ON \
    -DORVANDE_TESTS=OFF >/dev/null
  local t targets=()
  for t in "$@"; do targets+=(--target "${t}_fuzz"); done
  echo "building ${targets[*]}" >&2
  cmake --build build-fuzz -j 2 "${targets[@]}" >&2
}

# Runs one target: target, seconds, corpus folder, artifacts folder, libFuzzer options...
# (a run in progress has the tool's working folder as its current directory, hence the
# absolute artifact prefix). A hang of more than 20 s is a finding.
run_target() {
  local target=$1 seconds=$2 corpus=$3 artifacts=$4
  shift 4
  mkdir -p "$corpus" "$artifacts"
  echo "running $target for $seconds s (corpus $corpus, findings in $artifacts/)" >&2
  "build-fuzz/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
    -artifact_prefix="$PWD/$artifacts/" "$@" "$corpus"
}

# Prints every finding of a folder (path and hex dump); false when there is one.
report_findings() {
  local f found=0
  for f in "$1"/*; do
    [ -f "$f" ] || continue
    found=1
    echo "== finding: $PWD/$f ($(stat -c %s "$f") bytes)"
    od -A x -t x1z -v "$f" | head -n 256
  done
  [ $found -eq 0 ]
}

ci() { # seconds
  local seconds=$1 target status=0
  build "${TARGETS[@]}"
  for target in "${TARGETS[@]}"; do
    local corpus=build-fuzz/ci/corpus-$target artifacts=build-fuzz/ci/findings-$target
    rm -rf "$corpus" "$artifacts"
    mkdir -p "$corpus"
    cp fuzz/seeds-"$target"/* "$corpus"/ # the committed seeds are never written to
    if ! run_target "$target" "$seconds" "$corpus" "$artifacts"; then
      echo "fuzz target $target stopped on a finding" >&2
      status=1
    fi
    report_findings "$artifacts" || status=1
  done
  return $status
}

if [ "$1" = "--ci" ]; then
  ci "$2"
  exit
fi
target=$1 seconds=$2
shift 2
[[ " ${TARGETS[*]} " == *" $target "* ]] || { echo "unknown fuzz target: $target" >&2; usage; }
build "$target"
corpus=fuzz/corpus-$target
mkdir -p "$corpus"
cp -n fuzz/seeds-"$target"/* "$corpus"/ 2>/dev/null || true
run_target "$target" "$seconds" "$corpus" "fuzz/artifacts/$target" "$@"
