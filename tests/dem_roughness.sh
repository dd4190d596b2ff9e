#!/usr/bin/env bash
# scripts/dem-roughness on small GeoTIFFs made here with GDAL's Python bindings: projected and
# geographic sources, a nodata hole filled with --fill, and failing steps. The GeoTIFFs must
# carry the source's CRS, geotransform and size, hold exactly the pixels of the tool's own BMP
# results (the tool, ORVANDE_BIN, run directly on the same DEM), and mask exactly the pixels
# without a ratio of their own. Skipped (77) without GDAL's Python bindings, numpy or gdalinfo.
set -u
src=${ORVANDE_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}
: "${ORVANDE_BIN:?ORVANDE_BIN must name the tool}"
py=
for cand in python3 /usr/bin/python3; do
  if command -v "$cand" >/dev/null && "$cand" -c 'from osgeo import gdal; import numpy' 2>/dev/null; then
    py=$cand
    break
  fi
done
if [ -z "$py" ] || ! command -v gdalinfo >/dev/null; then
  echo "SKIP: GDAL's Python bindings, numpy or gdalinfo missing (apt-get install python3-gdal python3-numpy gdal-bin)"
  exit 77
fi
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
exec "$py" - "$src/scripts/dem-roughness" "$ORVANDE_BIN" "$tmp" <<'PYTHON'
import json, os, subprocess, sys
import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()
CMD, TOOL, TMP = sys.argv[1:4]
OUT = os.path.join(TMP, "out")
SCRATCH = os.path.join(TMP, "scratch")   # TMPDIR of dem-roughness: where its scratch folder goes
os.makedirs(OUT)
os.makedirs(SCRATCH)
FAILS = []
PROJECTED = ("EPSG:32633", [500000.0, 30.0, 0.0, 4000000.0, 0.0, -30.0])
GEOGRAPHIC = ("EPSG:4326", [10.0, 1 / 1200, 0.0, 46.5, 0.0, -1 / 1200])


def check(what, ok):
    if not ok:
        FAILS.append(what)
        print("FAIL:", what)


def make_dem(name, crs, dtype, holes=(), nodata=None, lines=9, cols=11):
    """Whole-metre hills and valleys, with HOLES set to NODATA."""
    y, x = np.mgrid[0:lines, 0:cols]
    z = np.round(300 + 40 * np.sin(x / 2.0) + 25 * np.cos(y / 1.5) + 7 * ((x * 7 + y * 3) % 5))
    for i, j in holes:
        z[i, j] = nodata
    path = os.path.join(TMP, name + ".tif")
    ds = gdal.GetDriverByName("GTiff").Create(path, cols, lines, 1, dtype)
    ds.SetGeoTransform(crs[1])
    srs = osr.SpatialReference()
    srs.SetFromUserInput(crs[0])
    ds.SetProjection(srs.ExportToWkt())
    if nodata is not None:
        ds.GetRasterBand(1).SetNoDataValue(nodata)
    ds.GetRasterBand(1).WriteArray(z)
    ds = None
    return path, z


def tool_bmps(name, z, holes, coef):
    """The tool's own BMP results for Z (holes filled with the lowest valid elevation)."""
    z = z.copy()
    hole = np.zeros(z.shape, dtype=bool)
    for i, j in holes:
        hole[i, j] = True
    z[hole] = z[~hole].min()
    work = os.path.join(TMP, "ref-" + name)
    folder = os.path.join(work, "c:", "images", "ref")
    os.makedirs(folder)
    z.astype("<u2").tofile(os.path.join(folder, "ref_m2.raw"))
    with open(os.path.join(folder, "ref_m2.txt"), "w") as f:
        f.write(f"{z.shape[0]}\n{z.shape[1]}\n2\n{int(z.min())}\n{int(z.max())}\n30\n")
    subprocess.run([TOOL], cwd=work, input=f"ref\nref\n0\n0\nb\n0\n{coef}\n", text=True,
                   stdout=subprocess.DEVNULL, check=True)
    return [gdal.Open(os.path.join(folder, f"b{s}.bmp")).ReadAsArray()
            for s in ("_roughness", "_roughness_str")]


def expected_mask(shape, holes):
    """255 where a pixel has a ratio of its own, 0 on the frame and around each hole."""
    hidden = np.zeros(shape, dtype=bool)
    hidden[[0, -1], :] = True
    hidden[:, [0, -1]] = True
    for i, j in holes:
        hidden[max(i - 1, 0):i + 2, max(j - 1, 0):j + 2] = True
    return np.where(hidden, 0, 255)


def roughness(*args, env=None):
    env = dict(os.environ, TMPDIR=SCRATCH, **(env or {}))
    return subprocess.run([CMD, *args], capture_output=True, text=True, env=env, cwd=TMP)


def gdalinfo(path):
    return json.loads(subprocess.run(["gdalinfo", "-json", path], capture_output=True,
                                     text=True, check=True).stdout)


def outputs(prefix):
    return [prefix + "_roughness.tif", prefix + "_roughness_str.tif"]


def check_outputs(case, source, prefix, bmps, mask):
    want = gdalinfo(source)
    for path, bmp in zip(outputs(prefix), bmps):
        what = f"{case}: {os.path.basename(path)}"
        info = gdalinfo(path)
        check(f"{what}: CRS", info.get("coordinateSystem") == want["coordinateSystem"])
        check(f"{what}: geotransform", info.get("geoTransform") == want["geoTransform"])
        check(f"{what}: size", info["size"] == want["size"])
        band = info["bands"][0]
        check(f"{what}: Byte, tiled", band["type"] == "Byte" and band["block"] == [256, 256])
        check(f"{what}: deflate",
              info["metadata"]["IMAGE_STRUCTURE"].get("COMPRESSION") == "DEFLATE")
        check(f"{what}: one per-dataset mask inside the TIFF",
              band["mask"]["flags"] == ["PER_DATASET"] and len(info["files"]) == 1)
        ds = gdal.Open(path)
        check(f"{what}: the tool's grey levels", np.array_equal(ds.ReadAsArray(), bmp))
        got = ds.GetRasterBand(1).GetMaskBand().ReadAsArray()
        check(f"{what}: mask\n{got}", np.array_equal(got, mask))


def check_clean(case, scratch_left=()):
    left = sorted(os.listdir(OUT))
    check(f"{case}: nothing left in OUTPUT's folder: {left}", left == [])
    logs = [os.path.join(dp, f) for dp, _, fs in os.walk(SCRATCH) for f in fs]
    check(f"{case}: scratch folder: {logs}", [os.path.basename(p) for p in logs] == list(scratch_left))
    subprocess.run(["rm", "-rf", SCRATCH, OUT])
    os.makedirs(SCRATCH)
    os.makedirs(OUT)


# Good runs: projected (default coefficient), geographic (--coef 5, the tool given by a
# relative path), Float32 with holes.
HOLES = [(4, 5), (4, 6), (1, 9), (8, 0)]  # an interior pair, one beside the frame, a corner
RELATIVE_TOOL = {"ORVANDE_BIN": os.path.relpath(TOOL, TMP)}
CASES = [
    ("projected", PROJECTED, gdal.GDT_Int16, (), None, [], 2, None),
    ("geographic", GEOGRAPHIC, gdal.GDT_Float32, (), None, ["--coef", "5"], 5, RELATIVE_TOOL),
    ("holes", PROJECTED, gdal.GDT_Float32, HOLES, -9999.0, ["--fill", "min"], 2, None),
]
for case, crs, dtype, holes, nodata, options, coef, env in CASES:
    source, z = make_dem(case, crs, dtype, holes, nodata)
    prefix = os.path.join(OUT, case)
    done = roughness(source, prefix, *options, env=env)
    check(f"{case}: status 0 ({done.stderr.strip()})", done.returncode == 0)
    check(f"{case}: says what it wrote", all(p in done.stdout for p in outputs(prefix)))
    if done.returncode == 0:
        check_outputs(case, source, prefix, tool_bmps(case, z, holes, coef),
                      expected_mask(z.shape, holes))
    for path in outputs(prefix):
        os.remove(path)
    check_clean(case)

# Failing steps leave no OUTPUT file, and name the step and the log that is kept.
source, _ = make_dem("nodata", PROJECTED, gdal.GDT_Float32, HOLES, -9999.0)
prefix = os.path.join(OUT, "x")
for case, env, options, step in [
        ("nodata without --fill", None, [], "import"),
        ("a tool that fails", {"ORVANDE_BIN": "/bin/false"}, ["--fill", "min"], "tool"),
        ("a tool that writes nothing", {"ORVANDE_BIN": "/bin/true"}, ["--fill", "min"], "tool")]:
    done = roughness(source, prefix, *options, env=env)
    why = done.stderr.strip()
    check(f"{case}: status 1", done.returncode == 1)
    check(f"{case}: one line naming the step and the log: {why!r}",
          len(why.splitlines()) == 1 and f"dem-roughness: {step}: " in why and "dialogue.log" in why)
    check_clean(case, ["dialogue.log"])

# An existing OUTPUT file is replaced only with --overwrite.
source, _ = make_dem("again", PROJECTED, gdal.GDT_Int16)
prefix = os.path.join(OUT, "again")
with open(outputs(prefix)[1], "w") as f:
    f.write("mine")
done = roughness(source, prefix)
check("existing OUTPUT: refused with status 1", done.returncode == 1 and "--overwrite" in done.stderr)
check("existing OUTPUT: kept, the other not written",
      open(outputs(prefix)[1]).read() == "mine" and not os.path.exists(outputs(prefix)[0]))
done = roughness(source, prefix, "--overwrite", "--keep")
check("--overwrite: status 0", done.returncode == 0)
check("--overwrite: replaced", gdal.Open(outputs(prefix)[1]).RasterXSize == 11)
kept = [os.path.join(dp, f) for dp, _, fs in os.walk(SCRATCH) for f in fs if f == "dialogue.log"]
check("--keep: the scratch folder and its log are kept and named",
      len(kept) == 1 and os.path.dirname(kept[0]) in done.stderr
      and "Coefficient of stretching" in open(kept[0]).read())

# Options as GDAL's utilities take them: --help, and bad options get the usage and status 2.
done = roughness("--help")
check("--help: status 0 and the options", done.returncode == 0 and "--coef" in done.stdout
      and "--overwrite" in done.stdout and "--fill" in done.stdout)
for bad in (["--bogus", source, prefix], [source], ["--coef", "x", source, prefix],
            ["--coef", "60", source, prefix]):
    done = roughness(*bad)
    check(f"{bad}: usage and status 2", done.returncode == 2 and done.stderr.startswith("usage:"))

print(f"{len(FAILS)} failure(s)")
sys.exit(1 if FAILS else 0)
PYTHON
