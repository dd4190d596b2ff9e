#!/usr/bin/env bash
# scripts/demo.sh with the tool ORVANDE_BIN and a stand-in `convert` first on PATH: the demo
# ends with status 0 whenever the tool succeeded, makes the PNG copies when convert works,
# says on stderr which copy failed when it does not, and fails with the tool.
set -u
src=${ORVANDE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
: "${ORVANDE_BIN:?ORVANDE_BIN must name the tool}"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fails=0
bad() { fails=$((fails + 1)); echo "FAIL: $*"; }

# demo CASE CONVERT-BODY [ORVANDE_BIN]: runs the demo in $tmp/CASE with a `convert` made of
# CONVERT-BODY first on PATH; status in $rc, output in $out and $err.
demo() {
  local case=$1 body=$2 bin=${3:-$ORVANDE_BIN}
  mkdir -p "$tmp/$case/bin"
  printf '#!/bin/sh\n%s\n' "$body" >"$tmp/$case/bin/convert"
  chmod +x "$tmp/$case/bin/convert"
  PATH="$tmp/$case/bin:$PATH" ORVANDE_BIN=$bin bash "$src/scripts/demo.sh" "$tmp/$case/work" \
    >"$tmp/$case/out" 2>"$tmp/$case/err"
  rc=$?
  out=$(cat "$tmp/$case/out") err=$(cat "$tmp/$case/err")
  results=$tmp/$case/work/c:/images/demo
}

demo works 'cp "$1" "$2"'
[ "$rc" = 0 ] || bad "working convert: status $rc ($err)"
for f in jacksboro_roughness jacksboro_roughness_str; do
  [ -s "$results/$f.bmp" ] || bad "working convert: no $f.bmp"
  [ -s "$results/$f.png" ] || bad "working convert: no $f.png"
  grep -qF "PNG copy: $results/$f.png" <<<"$out" || bad "working convert: $f.png not announced"
done

demo fails 'echo "convert: no decode delegate for this image format" >&2; exit 1'
[ "$rc" = 0 ] || bad "failing convert: the demo ends with status $rc, not 0"
for f in jacksboro_roughness jacksboro_roughness_str; do
  [ -s "$results/$f.bmp" ] || bad "failing convert: no $f.bmp"
  grep -qF "no PNG copy of $f.bmp" <<<"$err" || bad "failing convert: $f.bmp's failure not shown: $err"
done
grep -qF "no decode delegate" <<<"$err" || bad "failing convert: convert's own message hidden"

demo tool-fails 'exit 0' /bin/false
[ "$rc" != 0 ] || bad "failing tool: the demo ends with status 0"

[ "$fails" = 0 ] || { echo "$fails failure(s)"; exit 1; }
echo "all demo checks passed"
