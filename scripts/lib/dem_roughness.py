"""From any DEM that GDAL reads to two georeferenced roughness GeoTIFFs, in one command.

Run through scripts/dem-roughness (or the installed bin/dem-roughness), which makes sure
that GDAL's Python bindings and numpy are installed.

    dem-roughness SOURCE OUTPUT [options]

converts SOURCE as dem-import does (the same code), runs orvande_3d_roughness in a private
scratch folder with the answers on its standard input, and writes OUTPUT_roughness.tif (the
centred image) and OUTPUT_roughness_str.tif (the stretched image): Byte, deflate, tiled,
with SOURCE's coordinate system and the geotransform of the converted grid, and a mask band
(stored in the TIFF) that hides the pixels without a ratio of their own.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import dem_import  # noqa: E402  (the conversion shared with dem-import)

PROG = "dem-roughness"
TOOL = "orvande_3d_roughness"
FOLDER, DEM_NAME, RESULT_NAME = "dem", "dem", "r"   # the words typed at the tool's questions
RESULTS = (("_roughness", "centred"), ("_roughness_str", "stretched"))
RASTER_FORMAT = 1                                   # answer to the tool's format question
LOG_NAME = "dialogue.log"


class StepFailed(Exception):
    """A step that failed: str(e) is the one-line reason, naming the step."""

    def __init__(self, step, reason):
        super().__init__(f"{step}: {reason}")


# ---------------------------------------------------------------- options

def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Compute the 3x3 roughness ratio of a DEM that GDAL reads and write the "
                    "two result images as georeferenced GeoTIFFs OUTPUT_roughness.tif "
                    "(centred on grey 128) and OUTPUT_roughness_str.tif (contrast-stretched).",
        epilog="Pixels without a ratio of their own (the one-pixel frame, and every pixel "
               "whose 3x3 window touches a nodata pixel of SOURCE) are masked. "
               "The tool is ORVANDE_BIN when set, else the installed one, else the one in "
               "the project's build/, else the one on PATH.")
    p.add_argument("source", metavar="SOURCE", help="the DEM, any raster GDAL reads")
    p.add_argument("output", metavar="OUTPUT",
                   help="prefix of the results: OUTPUT_roughness.tif and OUTPUT_roughness_str.tif")
    p.add_argument("--coef", type=float, default=2.0, metavar="PERCENT",
                   help="coefficient of stretching: the percentage of pixels cut off at each "
                        "end of the stretched image (default 2)")
    p.add_argument("--overwrite", action="store_true", help="replace existing OUTPUT files")
    p.add_argument("--keep", action="store_true",
                   help="keep the scratch folder (converted DEM, raw results, dialogue log)")
    dem_import.add_conversion_options(p)
    args = p.parse_args(argv)
    if not 0 <= args.coef < 50:
        p.error(f"--coef must be at least 0 and below 50, not {args.coef:g}")
    if not os.path.basename(args.output):
        p.error(f"OUTPUT must end with a name, not a folder: {args.output!r}")
    return args


def output_paths(prefix):
    return [prefix + suffix + ".tif" for suffix, _ in RESULTS]


def check_outputs(paths, overwrite):
    folder = os.path.dirname(os.path.abspath(paths[0]))
    if not os.path.isdir(folder):
        raise StepFailed("output", f"the folder {folder} does not exist")
    for path in paths:
        if os.path.isdir(path):
            raise StepFailed("output", f"{path} is a folder")
        if os.path.lexists(path) and not overwrite:
            raise StepFailed("output", f"{path} exists (--overwrite replaces it)")


# ---------------------------------------------------------------- the tool

def answers(imp, coef):
    """The words to type, in the order of the tool's questions (the descriptor is there)."""
    words = [FOLDER, DEM_NAME, imp.storage, imp.interval, RESULT_NAME, RASTER_FORMAT,
             f"{coef:.17g}"]
    return "".join(f"{w}\n" for w in words)


def last_line(path):
    with open(path, errors="replace") as f:
        lines = [line.strip() for line in f if line.strip()]
    return lines[-1] if lines else ""


def run_tool(tool, scratch, imp, coef, log_path):
    """Runs the tool in SCRATCH with the answers on its standard input, its dialogue in the
    log; returns the paths of the two raw results."""
    if tool is None:
        raise StepFailed("tool", f"{TOOL} not found (set ORVANDE_BIN, install it, or build it "
                                 "in the project's build/)")
    err_path = os.path.join(scratch, "tool.stderr")
    with open(log_path, "a") as log, open(err_path, "w") as err:
        log.write(f"--- {tool}, answers: {' '.join(answers(imp, coef).split())}\n")
        log.flush()
        try:
            done = subprocess.run([tool], cwd=scratch, input=answers(imp, coef), text=True,
                                  stdout=log, stderr=err)
        except OSError as e:
            raise StepFailed("tool", f"cannot run {tool}: {e.strerror}")
    with open(err_path) as err, open(log_path, "a") as log:
        log.write("--- standard error\n" + err.read())
    if done.returncode != 0:
        why = last_line(err_path) or f"exit status {done.returncode}"
        raise StepFailed("tool", f"{why} (exit status {done.returncode})")
    return [result_raw(scratch, suffix, imp) for suffix, _ in RESULTS]


def result_raw(scratch, suffix, imp):
    path = os.path.join(scratch, "c:", "images", FOLDER, RESULT_NAME + suffix + ".raw")
    expected = imp.lines * imp.columns
    size = os.path.getsize(path) if os.path.isfile(path) else None
    if size != expected:
        found = "missing" if size is None else f"{size} bytes"
        raise StepFailed("tool", f"the result {os.path.basename(path)} is {found}, not "
                                 f"{expected} bytes")
    return path


# ---------------------------------------------------------------- GeoTIFFs

def no_ratio_mask(imp, np):
    """True where a pixel has no ratio of its own: the frame, and every pixel whose 3x3
    window touches a nodata pixel."""
    hidden = np.zeros((imp.lines, imp.columns), dtype=bool)
    hidden[0, :] = hidden[-1, :] = True
    hidden[:, 0] = hidden[:, -1] = True
    if imp.nodata is not None:
        holes = np.pad(np.asarray(imp.nodata, dtype=bool), 1)
        for dy in range(3):
            for dx in range(3):
                hidden |= holes[dy:dy + imp.lines, dx:dx + imp.columns]
    return hidden


def write_geotiff(gdal, np, raw, path, imp, mask):
    """One result as a GeoTIFF: Byte, deflate, tiled, georeferenced, with MASK (0 hides)."""
    pixels = np.fromfile(raw, dtype=np.uint8).reshape(imp.lines, imp.columns)
    driver = gdal.GetDriverByName("GTiff")
    ds = driver.Create(path, imp.columns, imp.lines, 1, gdal.GDT_Byte,
                       options=["COMPRESS=DEFLATE", "TILED=YES", "BIGTIFF=IF_SAFER"])
    ds.SetGeoTransform(tuple(imp.geotransform))
    if imp.srs_wkt:
        ds.SetProjection(imp.srs_wkt)
    band = ds.GetRasterBand(1)
    band.WriteArray(pixels)
    band.CreateMaskBand(gdal.GMF_PER_DATASET)
    band.GetMaskBand().WriteArray(mask)
    ds.FlushCache()
    ds = None  # closes and completes the file


def first_line(e):
    text = str(e).strip()
    return text.splitlines()[0] if text else repr(e)


def gdal_and_numpy():
    try:
        from osgeo import gdal
        import numpy
    except ImportError as e:
        raise StepFailed("GeoTIFF", f"{e.name} is missing: apt-get install python3-gdal python3-numpy")
    gdal.UseExceptions()
    return gdal, numpy


def write_outputs(raws, finals, imp, overwrite):
    """Writes both GeoTIFFs under temporary names in OUTPUT's folder, then renames them."""
    gdal, np = gdal_and_numpy()
    gdal.SetConfigOption("GDAL_TIFF_INTERNAL_MASK", "YES")
    mask = np.where(no_ratio_mask(imp, np), np.uint8(0), np.uint8(255))
    temps = []
    try:
        for raw, final in zip(raws, finals):
            out, tmp = dem_import.temporary_beside(os.path.dirname(os.path.abspath(final)), final)
            out.close()
            temps.append(tmp)
            write_geotiff(gdal, np, raw, tmp, imp, mask)
        check_outputs(finals, overwrite)  # nobody made them meanwhile
        dem_import.commit_pair(list(zip(temps, finals)))  # both, or neither
    except (RuntimeError, OSError) as e:
        raise StepFailed("GeoTIFF", first_line(e))
    finally:
        for tmp in temps:
            if os.path.exists(tmp):
                os.remove(tmp)


# ---------------------------------------------------------------- the run

def import_step(args, scratch, log_path):
    dest = os.path.join(scratch, "c:", "images", FOLDER)
    os.makedirs(dest)

    def log(text):  # the conversion's notes on stdout, its warnings on stderr, both logged
        print(text, file=sys.stderr if text.startswith("warning:") else sys.stdout, flush=True)
        with open(log_path, "a") as f:
            f.write(text + "\n")
    try:
        return dem_import.import_dem(args.source, dest, DEM_NAME, args, log=log)
    except dem_import.Refusal as r:
        raise StepFailed("import", str(r))
    except RuntimeError as e:  # GDAL's own errors
        raise StepFailed("import", first_line(e))


def roughness(args, scratch, finals, log_path):
    gdal_and_numpy()  # before any work
    imp = import_step(args, scratch, log_path)
    raws = run_tool(dem_import.tool_command() or TOOL, scratch, imp, args.coef, log_path)
    write_outputs(raws, finals, imp, args.overwrite)
    for (_, what), final in zip(RESULTS, finals):
        print(f"Wrote {final} ({what}, {imp.lines} lines x {imp.columns} columns)")


def tidy_scratch(scratch, keep, failed):
    """--keep keeps everything; a failure keeps the dialogue log (named in the reason)."""
    if keep:
        print(f"{PROG}: scratch folder kept: {scratch}", file=sys.stderr)
    elif not failed:
        shutil.rmtree(scratch, ignore_errors=True)
    else:
        for entry in os.listdir(scratch):
            if entry != LOG_NAME:
                path = os.path.join(scratch, entry)
                shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)


def fail(text, log_path=None):
    sys.stdout.flush()
    if log_path:
        with open(log_path, "a") as f:
            f.write(f"{PROG}: {text}\n")
        text += f" (log: {log_path})"
    print(f"{PROG}: {text}", file=sys.stderr)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    dem_import.handle_signals()  # SIGINT, SIGTERM, SIGHUP: clean up and say so
    finals = output_paths(args.output)
    try:
        check_outputs(finals, args.overwrite)
        scratch = tempfile.mkdtemp(prefix=PROG + ".")
    except (StepFailed, OSError) as e:
        fail(f"nothing written: {e}")
        return 1
    log_path = os.path.join(scratch, LOG_NAME)
    failed = True
    try:
        open(log_path, "w").close()
        roughness(args, scratch, finals, log_path)
        failed = False
    except StepFailed as e:
        fail(str(e), log_path)
    except dem_import.Interrupted as e:
        fail(str(e), log_path)
    except OSError as e:
        fail(f"scratch folder: {e}", log_path)
    finally:
        tidy_scratch(scratch, args.keep, failed)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
