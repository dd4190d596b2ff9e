"""Converts a DEM that GDAL reads into the roughness tool's DEM format.

Run through scripts/dem-import, which makes sure that GDAL's command-line tools are
installed. Only the Python standard library is used: GDAL is driven through gdalinfo,
gdalsrsinfo and gdal_translate.

The result is c:/images/FOLDER/NAME_m2.raw (16-bit unsigned samples) or NAME_m4.raw (32-bit
signed samples), little-endian and headerless, first line first, and its descriptor
NAME_m2.txt / NAME_m4.txt with six whole numbers, one per line: lines, columns, bytes per
pixel, minimum, maximum, pixel size in metres.
"""

import argparse
import json
import math
import operator
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from array import array

PROG = "dem-import"

# Elevation units of the tool's hypsometric-interval menu: answer, name, samples per metre.
UNITS = {
    "m": (0, "metres", 1),
    "dm": (1, "decimetres", 10),
    "cm": (2, "centimetres", 100),
    "mm": (3, "millimetres", 1000),
}
MENU_LABEL = {0: "in meters", 1: "in decimeters", 2: "in centimeters", 3: "in millimeters"}
INT32_MIN, INT32_MAX = -(2 ** 31), 2 ** 31 - 1
PATH_LIMIT = 127  # the tool's path buffers hold 127 characters
BYTES_PER_PIXEL_IN_TOOL = 30  # one int grid, three double grids, two byte grids


class Refusal(Exception):
    """A reason not to write anything; printed and exit status 1."""


def note(text):
    print("  note: " + text)


def run(cmd):
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    except FileNotFoundError:
        raise Refusal(f"{cmd[0]} is not installed (Debian package gdal-bin)")
    return done


def round_half_away(x):
    """Nearest integer, halves away from zero (Python's round() goes to even)."""
    return int(math.copysign(math.floor(abs(x) + 0.5), x))


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Convert a DEM that GDAL reads (GeoTIFF, ASCII grid, ...) into "
                    "c:/images/FOLDER/NAME_m2.raw or NAME_m4.raw with its six-number "
                    "descriptor, for orvande_3d_roughness.",
        epilog="Without --unit: whole metres within 0..65535 give NAME_m2 in metres, "
               "anything else NAME_m4 in millimetres. Nodata pixels are refused unless "
               "--fill says what to put there.")
    p.add_argument("source", metavar="SOURCE", help="the DEM file, any raster GDAL reads")
    p.add_argument("folder", metavar="FOLDER", help="folder name to type at the tool's folder question")
    p.add_argument("name", metavar="NAME", help="DEM name to type at the tool's DEM-name question")
    p.add_argument("--root", default=".", metavar="DIR",
                   help="the directory the tool will run in (default: the current one); "
                        "the files go to DIR/c:/images/FOLDER/")
    p.add_argument("--unit", choices=sorted(UNITS, key=lambda u: UNITS[u][2]),
                   help="store elevations in this unit (rounded to the nearest one); "
                        "_m2 when they fit 0..65535, else _m4")
    p.add_argument("--fill", metavar="VALUE|min",
                   help="put VALUE (metres) or the lowest valid elevation ('min') into nodata pixels")
    p.add_argument("--band", type=int, default=1, metavar="N", help="band to read (default 1)")
    p.add_argument("--pixel-size", type=float, metavar="METRES",
                   help="pixel size to write, instead of the one taken from the georeferencing")
    p.add_argument("--z-factor", type=float, default=1.0, metavar="F",
                   help="multiply the elevations by F to get metres (e.g. 0.3048 for feet)")
    p.add_argument("--add", type=float, default=0.0, metavar="METRES",
                   help="add METRES to every elevation (after --z-factor), e.g. to lift a DEM "
                        "with sea at 0 m: the ratio divides by the centre elevation")
    args = p.parse_args(argv)
    for what, word in (("FOLDER", args.folder), ("NAME", args.name)):
        if not word or re.search(r"[\s/\\]", word):
            p.error(f"{what} must be one word without blanks, slashes or backslashes: {word!r}")
    if args.fill is not None and args.fill != "min":
        try:
            args.fill_value = float(args.fill)
        except ValueError:
            p.error(f"--fill takes a number of metres or 'min', not {args.fill!r}")
        if not math.isfinite(args.fill_value):
            p.error("--fill needs a finite number")
    if args.pixel_size is not None and not (args.pixel_size > 0):
        p.error("--pixel-size must be above 0")
    if not (args.z_factor > 0):
        p.error("--z-factor must be above 0")
    if not math.isfinite(args.add):
        p.error("--add needs a finite number")
    return args


# ---------------------------------------------------------------- georeferencing

def proj4_of(source):
    done = run(["gdalsrsinfo", "-o", "proj4", source])
    if done.returncode != 0:
        return None
    text = done.stdout.strip().strip("'")
    return text or None


def proj4_params(text):
    params = {}
    for item in text.split():
        if item.startswith("+"):
            key, _, val = item[1:].partition("=")
            params[key] = val
    return params


LINEAR_UNITS = {"m": 1.0, "km": 1000.0, "cm": 0.01, "mm": 0.001, "ft": 0.3048,
                "us-ft": 1200.0 / 3937.0, "yd": 0.9144, "us-yd": 3600.0 / 3937.0}


def pixel_size_metres(info, source, lines, columns):
    """Returns (size in whole metres, list of notes)."""
    gt = info.get("geoTransform")
    if not gt:
        raise Refusal("the source has no georeferencing, so its pixel size is unknown: "
                      "give it with --pixel-size METRES")
    width_units = math.hypot(gt[1], gt[4])   # along a line
    height_units = math.hypot(gt[2], gt[5])  # down a column
    proj = proj4_of(source)
    if proj is None:
        raise Refusal("the source has no coordinate reference system, so the unit of its "
                      "pixel size is unknown: give the size with --pixel-size METRES")
    params = proj4_params(proj)
    notes = []
    if params.get("proj") in ("longlat", "latlong"):
        a = float(params.get("a", 6378137.0))
        if "b" in params:
            b = float(params["b"])
        else:
            rf = float(params.get("rf", 298.257223563))
            b = a * (1 - 1 / rf) if rf else a
        e2 = 1 - (b * b) / (a * a)
        lat = gt[3] + gt[4] * columns / 2 + gt[5] * lines / 2
        lat = max(-90.0, min(90.0, lat))
        phi = math.radians(lat)
        w = 1 - e2 * math.sin(phi) ** 2
        meridional = a * (1 - e2) / w ** 1.5      # radius of curvature north-south
        normal = a / math.sqrt(w)                 # radius of curvature east-west
        width_m = math.radians(width_units) * normal * math.cos(phi)
        height_m = math.radians(height_units) * meridional
        notes.append(
            f"geographic coordinates: a pixel of {width_units * 3600:.4g}\" x {height_units * 3600:.4g}\" "
            f"is {width_m:.1f} m east-west and {height_m:.1f} m north-south at the centre "
            f"latitude {lat:.4f}; the pixel size written is the side of a square of the same "
            "area, rounded (the tool only records it)")
    else:
        if "to_meter" in params:
            factor = float(params["to_meter"])
        else:
            unit = params.get("units", "m")
            if unit not in LINEAR_UNITS:
                raise Refusal(f"unknown linear unit '{unit}' of the coordinate system: "
                              "give the pixel size with --pixel-size METRES")
            factor = LINEAR_UNITS[unit]
        width_m, height_m = width_units * factor, height_units * factor
        if abs(width_m - height_m) > 0.01 * max(width_m, height_m):
            notes.append(f"pixels are {width_m:.2f} m x {height_m:.2f} m; the pixel size "
                         "written is the side of a square of the same area, rounded")
    size = math.sqrt(width_m * height_m)
    whole = round_half_away(size)
    if whole < 1:
        notes.append(f"pixels of {size:.3g} m: the descriptor holds whole metres, 1 is written")
        whole = 1
    elif abs(size - whole) > 1e-6 and not notes:
        notes.append(f"pixel size {size:.4g} m rounded to {whole} m (the descriptor holds whole metres)")
    return whole, notes


# ---------------------------------------------------------------- pixel values

def read_rows(path, columns, swap):
    row_bytes = columns * 8
    with open(path, "rb") as f:
        while True:
            chunk = f.read(row_bytes)
            if not chunk:
                return
            if len(chunk) != row_bytes:
                raise Refusal("GDAL's dump of the source ended in the middle of a line")
            row = array("d")
            row.frombytes(chunk)
            if swap:
                row.byteswap()
            yield row


def nodata_candidates(band):
    """The values that mark nodata in the Float64 dump, and whether NaN does."""
    nd = band.get("noDataValue")
    if nd is None:
        return set(), False
    if isinstance(nd, str):  # "nan", "inf", "-inf" and the like
        v = float(nd)
        if math.isnan(v):
            return set(), True
        return {v}, False
    v = float(nd)
    if math.isnan(v):
        return set(), True
    cands = {v}
    if band.get("type") == "Float32":
        import struct
        try:
            cands.add(struct.unpack("<f", struct.pack("<f", v))[0])
        except OverflowError:
            pass
    return cands, False


def convert(args):
    source = args.source
    if not os.path.exists(source) and not source.startswith("/vsi") and ":" not in source:
        raise Refusal(f"{source}: no such file")
    done = run(["gdalinfo", "-json", source])
    if done.returncode != 0:
        raise Refusal(f"GDAL cannot read {source}: {done.stderr.strip()}")
    info = json.loads(done.stdout)
    columns, lines = info["size"]
    bands = info.get("bands", [])
    if not 1 <= args.band <= len(bands):
        raise Refusal(f"{source} has {len(bands)} band(s); there is no band {args.band}")
    band = bands[args.band - 1]
    if lines < 1 or columns < 1:
        raise Refusal(f"{source} has {lines} lines and {columns} columns")
    data_type = band.get("type", "?")
    if data_type.startswith("C"):
        raise Refusal(f"band {args.band} holds complex numbers ({data_type}), not elevations")
    scale = float(band.get("scale", 1.0))
    offset = float(band.get("offset", 0.0))
    factor = scale * args.z_factor
    shift = offset * args.z_factor + args.add

    print(f"{PROG}: {source}: {lines} lines x {columns} columns, band {args.band} of "
          f"{len(bands)} ({data_type})")
    if len(bands) > 1 and args.band == 1:
        note("only band 1 is read (--band N chooses another)")
    if scale != 1.0 or offset != 0.0:
        note(f"the band's scale {scale:g} and offset {offset:g} are applied")
    if args.add:
        note(f"{args.add:g} m is added to every elevation")
    unit_name = band.get("unit") or band.get("unitType")
    if unit_name and unit_name.lower() not in ("m", "metre", "metres", "meter", "meters") \
            and args.z_factor == 1.0:
        note(f"the band says its unit is '{unit_name}'; elevations are taken as metres "
             "(use --z-factor to convert, e.g. 0.3048 for feet)")

    if args.pixel_size is not None:
        pix = round_half_away(args.pixel_size)
        pix_notes = []
        if pix < 1:
            pix, pix_notes = 1, [f"pixel size {args.pixel_size:g} m: whole metres are written, 1"]
    else:
        pix, pix_notes = pixel_size_metres(info, source, lines, columns)
    print(f"  pixel size: {pix} m")
    for n in pix_notes:
        note(n)

    nd_values, _ = nodata_candidates(band)  # NaN is always nodata
    is_float = data_type.startswith("Float")

    folder_text = "c:\\images\\" + args.folder + "\\" + args.name + "_m2.raw"
    # The tool wants room after the folder for a one-letter name and its longest suffix.
    if len("c:\\images\\" + args.folder + "\\" + "x_roughness_str.raw") > PATH_LIMIT:
        raise Refusal(f"the folder name {args.folder} is too long for the tool's "
                      f"{PATH_LIMIT}-character paths: choose a shorter FOLDER")
    if len(folder_text) > PATH_LIMIT:
        raise Refusal(f"the tool's path for this DEM, {folder_text}, is longer than "
                      f"{PATH_LIMIT} characters: choose a shorter FOLDER or NAME")

    tmp = tempfile.mkdtemp(prefix="dem-import.")
    try:
        dump = os.path.join(tmp, "dump.bin")
        done = run(["gdal_translate", "-q", "-of", "ENVI", "-ot", "Float64",
                    "-b", str(args.band), source, dump])
        if done.returncode != 0 or not os.path.exists(dump):
            raise Refusal(f"gdal_translate could not read the pixels of {source}: "
                          f"{done.stderr.strip()}")
        swap = False
        hdr = os.path.join(tmp, "dump.hdr")
        if os.path.exists(hdr):
            m = re.search(r"byte order\s*=\s*(\d)", open(hdr).read())
            big = m is not None and m.group(1) == "1"
            swap = big != (sys.byteorder == "big")
        if os.path.getsize(dump) != lines * columns * 8:
            raise Refusal("GDAL's dump of the source does not have the expected size")

        # Pass 1: nodata, range, whole numbers.
        nodata = 0
        vmin, vmax = math.inf, -math.inf
        whole = True
        first_nodata = None
        rows_with_nodata = set()
        scaled = factor != 1.0 or shift != 0.0
        for i, row in enumerate(read_rows(dump, columns, swap)):
            valid = row
            # sum() is finite unless a NaN or an infinity is in the row.
            if not math.isfinite(sum(row)) or any(row.count(v) for v in nd_values):
                valid = [v for v in row if math.isfinite(v) and v not in nd_values]
                rows_with_nodata.add(i)
                if first_nodata is None:
                    first_nodata = i
                nodata += columns - len(valid)
            if not valid:
                continue
            if scaled:
                valid = [v * factor + shift for v in valid]
            vmin, vmax = min(vmin, min(valid)), max(vmax, max(valid))
            if whole and (is_float or scaled):
                whole = all(map(float.is_integer, valid))

        total = lines * columns
        fill = None
        if nodata:
            where = f"{nodata} of {total} pixels ({100.0 * nodata / total:.3g} %) are nodata, " \
                    f"the first on line {first_nodata}"
            if args.fill is None:
                raise Refusal(where + ". The tool cannot skip pixels: give --fill VALUE "
                              "(metres) or --fill min to put a value there, or cut the area "
                              "to the valid part first (gdal_translate -srcwin ...)")
            if args.fill == "min":
                if vmin == math.inf:
                    raise Refusal(where + "; every pixel is nodata, so there is no minimum "
                                  "(give --fill VALUE)")
                fill = vmin
            else:
                fill = args.fill_value
            vmin, vmax = min(vmin, fill), max(vmax, fill)
            whole = whole and float(fill).is_integer()
            print(f"  nodata: {where}; filled with {fill:g} m")
        else:
            print("  nodata: none")
        if vmin == math.inf:
            raise Refusal("the source holds no elevation at all")
        print(f"  elevations: {vmin:g} .. {vmax:g} m" + (", whole metres" if whole else ""))

        # Storage type and unit.
        if args.unit:
            unit = args.unit
        elif whole and vmin >= 0 and vmax <= 65535:
            unit = "m"
        else:
            unit = "mm"
        interv, unit_long, per_metre = UNITS[unit]
        smin, smax = round_half_away(vmin * per_metre), round_half_away(vmax * per_metre)
        if smin >= 0 and smax <= 65535:
            suffix, itype, code, width = "_m2", 0, "H", 2
        elif smin >= INT32_MIN and smax <= INT32_MAX:
            suffix, itype, code, width = "_m4", 1, "i", 4
        else:
            raise Refusal(f"elevations {vmin:g} .. {vmax:g} m do not fit 32-bit samples in "
                          f"{unit_long}: choose a coarser --unit")
        if code == "i" and array("i").itemsize != 4:
            code = "l" if array("l").itemsize == 4 else None
            if code is None:
                raise Refusal("this Python has no 4-byte integer array")

        # Pass 2: write.
        root = args.root
        folder = os.path.join(root, "c:", "images", args.folder)
        os.makedirs(folder, exist_ok=True)
        raw_path = os.path.join(folder, args.name + suffix + ".raw")
        txt_path = os.path.join(folder, args.name + suffix + ".txt")
        rounded = 0
        worst = 0.0
        part = raw_path + ".part"
        exact = whole and per_metre == 1
        with open(part, "wb") as out:
            for i, row in enumerate(read_rows(dump, columns, swap)):
                if i in rows_with_nodata:
                    row = [v if math.isfinite(v) and v not in nd_values else None for v in row]
                    if scaled:
                        row = [fill if v is None else v * factor + shift for v in row]
                    else:
                        row = [fill if v is None else v for v in row]
                elif scaled:
                    row = [v * factor + shift for v in row]
                if exact:
                    vals = array(code, map(int, row))
                else:
                    s = [v * per_metre for v in row] if per_metre != 1 else row
                    vals = [int(x + 0.5) if x >= 0 else -int(0.5 - x) for x in s]
                    changed = sum(map(operator.ne, vals, s))
                    if changed:
                        rounded += changed
                        worst = max(worst, max(map(abs, map(operator.sub, vals, s))) / per_metre)
                    vals = array(code, vals)
                if sys.byteorder == "big":
                    vals.byteswap()
                vals.tofile(out)
        os.replace(part, raw_path)
        with open(txt_path, "w") as d:
            d.write(f"{lines}\n{columns}\n{width}\n{smin}\n{smax}\n{pix}\n")
        other = os.path.join(folder, args.name + ("_m4" if suffix == "_m2" else "_m2") + ".raw")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    shown_raw = "c:/images/" + args.folder + "/" + args.name + suffix
    print(f"Wrote {shown_raw}.raw ({8 * width}-bit, {unit_long}) and {shown_raw}.txt "
          f"({lines} {columns} {width} {smin} {smax} {pix})")
    print(f"  in {os.path.abspath(root)}")
    if rounded:
        note(f"{rounded} pixel(s) rounded to the nearest {unit_long[:-1]} "
             f"(largest change {worst:.3g} m)")
    if os.path.exists(other):
        note(f"{os.path.basename(other)} is also in that folder: the type answer picks which one the tool reads")
    mib = lines * columns * BYTES_PER_PIXEL_IN_TOOL / 2 ** 20
    if mib >= 64:
        note(f"the tool holds the whole DEM in memory: about {mib:.0f} MiB for this one")
    print()
    print(f"Run orvande_3d_roughness in {os.path.abspath(root)} and answer:")
    print(f"  folder ............. {args.folder}")
    print(f"  DEM name ........... {args.name}")
    print(f"  type of MNT ........ {itype}   ({suffix})")
    print(f"  hypsometric interval {interv}   ({MENU_LABEL[interv]})")
    print("For example, with results named rough, bitmap format and a 2 % stretch:")
    print(f"  cd {shlex.quote(os.path.abspath(root))} && printf '%s\\n' "
          f"{shlex.quote(args.folder)} {shlex.quote(args.name)} {itype} {interv} rough 0 2 "
          "| orvande_3d_roughness")


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        convert(args)
    except Refusal as r:
        sys.stdout.flush()
        print(f"{PROG}: {r}", file=sys.stderr)
        print(f"{PROG}: nothing written", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
