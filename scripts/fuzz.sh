#!/usr/bin/env bash
# Builds a libFuzzer target with clang++-14 (fuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# into build-fuzz/ and runs it for the given number of seconds on one core.
#   scripts/fuzz.sh TARGET SECONDS [extra libFuzzer options...]
# The corpus lives in fuzz/corpus-TARGET/ (not committed), seeded from fuzz/seeds-TARGET/ when
# that folder exists. Crashes and other findings are written to fuzz/artifacts/TARGET/.
# Installs clang-14 and libclang-rt-14-dev when they are missing.
#
# To add a target, add a case to target_sources below naming its sources and flags.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/packages.sh

usage() {
  echo "usage: scripts/fuzz.sh TARGET SECONDS [libFuzzer options...]" >&2
  echo "targets: charge_bmp run" >&2
  exit 2
}
[ $# -ge 2 ] || usage
target=$1 seconds=$2
shift 2
[[ $seconds =~ ^[0-9]+$ ]] || usage

LIB_SOURCES=(LIB/NRUTIL.cpp LIB/IMAGE.cpp)

# Sets SOURCES (the fuzz target's own file first) and EXTRA_FLAGS for a target.
target_sources() {
  EXTRA_FLAGS=()
  case $1 in
    charge_bmp) SOURCES=(fuzz/charge_bmp_fuzz.cpp "${LIB_SOURCES[@]}") ;;
    run)
      # The whole tool, its main left out.
      SOURCES=(fuzz/run_fuzz.cpp orvande_3d_roughness.cpp row_arithmetic.cpp "${LIB_SOURCES[@]}")
      EXTRA_FLAGS=(-DORVANDE_NO_MAIN)
      ;;
    *)
      echo "unknown fuzz target: $1" >&2
      usage
      ;;
  esac
}
target_sources "$target"
for s in "${SOURCES[@]}"; do
  [ -f "$s" ] || { echo "missing source for target $target: $s" >&2; exit 1; }
done

need_packages clang-14 libclang-rt-14-dev
CXX=${CXX:-clang++-14}

out=build-fuzz
mkdir -p "$out"
bin=$out/$target
flags=(-std=c++17 -g -O1 -Wall -Wextra -ffp-contract=off -fno-omit-frame-pointer
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -ILIB -I.)
echo "building $bin" >&2
"$CXX" "${flags[@]}" "${EXTRA_FLAGS[@]}" "${SOURCES[@]}" -o "$bin"

corpus=fuzz/corpus-$target
seeds=fuzz/seeds-$target
artifacts=fuzz/artifacts/$target
mkdir -p "$corpus" "$artifacts"
if [ -d "$seeds" ]; then
  cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
fi

echo "running $target for $seconds s (corpus $corpus, findings in $artifacts/)" >&2
exec "$bin" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$PWD/$artifacts/" "$@" "$corpus"
