#!/usr/bin/env bash
# Interoperability of the BMP writer and reader with ImageMagick:
#  - files written by SauveBMP open in ImageMagick with the right size, depth and pixels;
#  - 8-bit grey and 24-bit files made by ImageMagick (odd widths included) read back right
#    through ChargeBMP, while top-down, RLE-compressed, 4-bit and 32-bit ones are refused.
# Needs the real ImageMagick (Debian package imagemagick); exits 77 when it is missing.
set -euo pipefail

tool=${ORVANDE_BMP_TOOL:-}
if [ -z "$tool" ] || [ ! -x "$tool" ]; then
  echo "bmp_tool not built (ORVANDE_BMP_TOOL unset); run through ctest" >&2
  exit 1
fi

# A program is taken as ImageMagick only if it is a real executable (not a script standing
# in for it) and can actually write and identify a BMP.
is_binary() { [ -x "$1" ] && [ "$(head -c 4 "$(readlink -f "$1")" | od -An -c | tr -d ' ')" = '177ELF' ]; }
convert_cmd=() identify_cmd=()
if command -v magick >/dev/null && is_binary "$(command -v magick)"; then
  convert_cmd=("$(command -v magick)") identify_cmd=("$(command -v magick)" identify)
else
  for dir in /usr/bin /usr/local/bin; do
    if is_binary "$dir/convert" && is_binary "$dir/identify"; then
      convert_cmd=("$dir/convert") identify_cmd=("$dir/identify")
      break
    fi
  done
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ ${#convert_cmd[@]} -eq 0 ] ||
   ! "${convert_cmd[@]}" -size 3x2 xc:gray50 BMP3:"$work/probe.bmp" 2>/dev/null ||
   [ "$("${identify_cmd[@]}" -format '%w %h' "$work/probe.bmp" 2>/dev/null)" != "3 2" ]; then
  echo "SKIP: ImageMagick (Debian package imagemagick) is not installed" >&2
  exit 77
fi
im() { "${convert_cmd[@]}" "$@"; }
ident() { "${identify_cmd[@]}" "$@"; }

fails=0
fail() { echo "FAIL: $*" >&2; fails=$((fails + 1)); }

# --- Files written by SauveBMP, opened by ImageMagick ---
# type width height; Type 0 grey ramp, 1 coloured palette, 2 24-bit.
for sizes in "0 1 2" "0 5 3" "0 8 4" "1 7 3" "1 4 4" "2 1 1" "2 3 5" "2 5 2" "2 4 3"; do
  read -r type w h <<<"$sizes"
  f=$work/w_${type}_${w}x${h}
  "$tool" write "$f.bmp" "$type" "$w" "$h" "$f.expected" || { fail "bmp_tool write $sizes"; continue; }
  got=$(ident -format '%w %h %z' "$f.bmp" 2>&1) || { fail "ImageMagick cannot open $sizes: $got"; continue; }
  [ "$got" = "$w $h 8" ] || fail "Type $type ${w}x$h identified as '$got'"
  class=$(ident -format '%r' "$f.bmp")
  case $type in
    0 | 1) [[ $class == PseudoClass* ]] || fail "Type $type ${w}x$h is not a palette image: $class" ;;
    2) [[ $class == DirectClass* ]] || fail "Type 2 ${w}x$h is not a true-colour image: $class" ;;
  esac
  im "$f.bmp" -depth 8 rgb:"$f.im"
  cmp -s "$f.im" "$f.expected" || fail "pixels of Type $type ${w}x$h differ in ImageMagick"
done

# --- Files made by ImageMagick, read by ChargeBMP ---
# expect_read FILE TYPE W H: ChargeBMP accepts it with that size and type, and its pixels
# match ImageMagick's.
expect_read() {
  local f=$1 type=$2 w=$3 h=$4 out
  if ! out=$("$tool" read "$f" "$f.mine"); then
    fail "ChargeBMP refused $(basename "$f"): $out"
    return
  fi
  [ "$out" = "$w $h $type" ] || fail "$(basename "$f") read as '$out', expected '$w $h $type'"
  im "$f" -depth 8 rgb:"$f.im"
  cmp -s "$f.im" "$f.mine" || fail "pixels of $(basename "$f") differ from ImageMagick's"
}
expect_refused() {
  local f=$1 why=$2 out rc=0
  ident "$f" >/dev/null 2>&1 || fail "ImageMagick cannot read its own $why file"
  out=$("$tool" read "$f" "$f.mine") || rc=$?
  [ "$rc" -eq 1 ] && [ "$out" = null ] || fail "$why file not refused: rc $rc, '$out'"
}

# 8-bit grey with more than 16 levels (fewer would give a 4-bit file), odd and even widths.
# ImageMagick writes the levels used, not the grey ramp: Type 1. It compresses 8-bit files
# with RLE unless told not to.
for size in 7x20 1x17 6x33 5x100; do
  w=${size%x*} h=${size#*x}
  im -size "$size" gradient:black-white -colorspace Gray -type Palette -compress None BMP3:"$work/g8_$size.bmp"
  expect_read "$work/g8_$size.bmp" 1 "$w" "$h"
done
# Every grey level from 0 to 255 in order: ImageMagick's palette is then the grey ramp.
im -size 1x256 gradient:black-white -colorspace Gray -type Palette -compress None BMP3:"$work/ramp.bmp"
expect_read "$work/ramp.bmp" 0 1 256
# 24-bit colour, odd widths included.
for size in 1x1 3x2 5x7 8x3 13x11; do
  w=${size%x*} h=${size#*x}
  im -size "$size" plasma:fractal -seed 7 BMP3:"$work/c24_$size.bmp" 2>/dev/null ||
    im -size "$size" gradient:red-blue BMP3:"$work/c24_$size.bmp"
  im "$work/c24_$size.bmp" -type TrueColor BMP3:"$work/c24_$size.bmp"
  expect_read "$work/c24_$size.bmp" 2 "$w" "$h"
done

# Refused: RLE-compressed 8-bit, 4-bit, 32-bit, and top-down 24-bit.
im -size 7x20 gradient:black-white -colorspace Gray -type Palette -compress RLE BMP3:"$work/rle.bmp"
expect_refused "$work/rle.bmp" "RLE-compressed"
im -size 9x5 gradient:black-white -colorspace Gray -type Palette BMP3:"$work/p4.bmp"
[ "$(od -An -tu2 -j28 -N2 "$work/p4.bmp" | tr -d ' ')" = 4 ] || fail "p4.bmp is not 4-bit"
expect_refused "$work/p4.bmp" "4-bit"
im -size 5x3 xc:red -alpha set -channel A -evaluate set 50% BMP:"$work/a32.bmp"
[ "$(od -An -tu2 -j28 -N2 "$work/a32.bmp" | tr -d ' ')" = 32 ] || fail "a32.bmp is not 32-bit"
expect_refused "$work/a32.bmp" "32-bit"
# Top-down: an ImageMagick 24-bit file with its rows reversed and its height negated.
im -size 5x3 gradient:red-blue -type TrueColor BMP3:"$work/bu.bmp"
{
  head -c 22 "$work/bu.bmp"
  printf '\375\377\377\377' # -3
  tail -c +27 "$work/bu.bmp" | head -c 28
  for r in 2 1 0; do tail -c +$((55 + r * 16)) "$work/bu.bmp" | head -c 16; done
} >"$work/td.bmp"
[ "$(im "$work/td.bmp" -depth 8 rgb:- | od -An -tx1)" = "$(im "$work/bu.bmp" -depth 8 rgb:- | od -An -tx1)" ] ||
  fail "the top-down file does not show the same picture in ImageMagick"
expect_refused "$work/td.bmp" "top-down"

if [ "$fails" -ne 0 ]; then
  echo "$fails check(s) failed" >&2
  exit 1
fi
echo "ImageMagick interoperability: all checks passed"
