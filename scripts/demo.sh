#!/usr/bin/env bash
# A first run of orvande_3d_roughness on a real DEM, without typing anything:
#   scripts/demo.sh            work in demo/ at the top of the project
#   scripts/demo.sh DIR        work in DIR
#   ORVANDE_BIN=PATH scripts/demo.sh   run that tool instead of building build/'s
# Builds the tool into build/ when needed (installing cmake and g++ if they are missing),
# copies the example DEM jacksboro_m2 into DIR/c:/images/demo/, answers the tool's questions
# through a pipe, and says where the two result images are and how to read them.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$top/demo}

build_tool() {
  if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
    . "$top/scripts/lib/packages.sh"
    need_packages cmake g++
  fi
  if [ ! -f "$top/build/CMakeCache.txt" ]; then
    echo "== configuring build/ (Release; the tests only when GoogleTest is installed)"
    cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  echo "== building the tool"
  cmake --build "$top/build" --target orvande_3d_roughness -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
}

# 1. The tool: ORVANDE_BIN when set, else built into build/.
if [ -n "${ORVANDE_BIN:-}" ]; then
  bin=$(command -v "$ORVANDE_BIN") || bin=$ORVANDE_BIN
  case $bin in /*) ;; *) bin=$PWD/$bin ;; esac  # the tool runs in the work folder
else
  bin=$top/build/orvande_3d_roughness
  build_tool
fi
[ -x "$bin" ] || { echo "demo: no tool at $bin" >&2; exit 1; }

# 2. The DEM, where the tool looks for it: c:/images/<folder>/ below the working directory.
mkdir -p "$work/c:/images/demo"
work=$(cd "$work" && pwd)
cp "$top/examples/jacksboro_m2.raw" "$top/examples/jacksboro_m2.txt" "$work/c:/images/demo/"

# 3. The run. Answers, one per line: folder, DEM name, storage type (0: 16-bit _m2),
# hypsometric interval (0: metres), name of the results, format (0: bitmap),
# coefficient of stretching (2 %).
echo "== running the tool in $work (its dialogue follows)"
status=0
(cd "$work" && "$bin" >"$work/transcript.txt" <<'ANSWERS'
demo
jacksboro
0
0
jacksboro
0
2
ANSWERS
) || status=$?
cat "$work/transcript.txt"
echo
if [ "$status" != 0 ]; then
  echo "demo: the tool ended with exit status $status" >&2
  exit "$status"
fi

# 4. What came out.
out=$work/c:/images/demo
cat <<EOF

== results (the dialogue above is also in $work/transcript.txt)
  $out/jacksboro_roughness.bmp
      the roughness ratio centred on grey 128: brighter than 128 where the ground around a
      pixel lies higher than the pixel (hollows, valleys), darker where it lies lower
      (crests, ridges); the frame one pixel wide is white (no ratio there)
  $out/jacksboro_roughness_str.bmp
      the same image contrast-stretched: the darkest and the brightest 2 % cut off and the
      rest spread over grey 1 to 253, so the valley network and the ridges stand out
The DEM: Jacksboro fault and Pine Mountain, Tennessee (examples/README.md).
EOF

# 5. PNG copies, best effort: the demo succeeded with the tool, whatever happens here, but a
# copy that cannot be made is said on stderr with convert's own message.
if command -v convert >/dev/null; then
  for f in jacksboro_roughness jacksboro_roughness_str; do
    if convert "$out/$f.bmp" "$out/$f.png"; then
      echo "  PNG copy: $out/$f.png"
    else
      echo "demo: no PNG copy of $f.bmp (convert failed, see above); the BMP is there" >&2
    fi
  done
else
  echo "  (no PNG copies: ImageMagick's convert is not installed)"
fi
exit 0
