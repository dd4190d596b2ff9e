"""Writing the roughness tool's DEM format.

NAME_m2.raw (16-bit unsigned samples) or NAME_m4.raw (32-bit signed samples), little-endian
and headerless, first line first, and its descriptor NAME_m2.txt / NAME_m4.txt with six
whole numbers, one per line: lines, columns, bytes per pixel, minimum, maximum, pixel size
in metres. import_dem() converts a source into that pair.
"""

import math
import os
from dataclasses import dataclass

import numpy as np

from . import safe_files
from .safe_files import Refusal
from .source import INT32_MAX, INT32_MIN, UNITS, Dem, round_half_away

# The tool's hypsometric-interval menu: the answer of each unit.
INTERVAL = {"m": 0, "dm": 1, "cm": 2, "mm": 3}
MENU_LABEL = {0: "in meters", 1: "in decimeters", 2: "in centimeters", 3: "in millimeters"}

# The tool's paths (c:\images\FOLDER\NAME_m2.raw and its results) hold 127 bytes.
PATH_LIMIT = 127
IMAGES_PREFIX = "c:\\images\\"
LONGEST_RESULT_SUFFIX = "_roughness_str.raw"

# The tool reads the DEM a line at a time: about this many bytes of memory a pixel.
TOOL_BYTES_PER_PIXEL = 2
# A DEM with fewer pixels than this is never refused for the tool's memory.
PIXELS_ALWAYS_TAKEN = 2 ** 31

PROG = "dem-import"


@dataclass
class Imported:
    """What import_dem wrote."""
    raster: str
    descriptor: str
    storage: int
    interval: int
    lines: int
    columns: int
    pixel_size: int
    geotransform: tuple
    srs_wkt: str
    nodata: object



def _mib(n):
    return f"{n / 2 ** 20:.0f} MiB"



def check_size(lines, columns, source):
    if lines < 3 or columns < 3:
        raise Refusal(f"{source} has {lines} line(s) and {columns} column(s): the tool needs at "
                      "least 3 x 3 pixels (the outer frame has no ratio)")
    if lines > INT32_MAX or columns > INT32_MAX:
        raise Refusal(f"{source} has {lines} lines and {columns} columns: the descriptor holds "
                      f"at most {INT32_MAX} of each")
    pixels = lines * columns
    need = pixels * TOOL_BYTES_PER_PIXEL
    have = _physical_memory()
    if pixels >= PIXELS_ALWAYS_TAKEN and need > have:
        raise Refusal(f"a DEM of {lines} lines and {columns} columns ({pixels} pixels) needs about "
                      f"{_mib(need)} of memory in the tool ({TOOL_BYTES_PER_PIXEL} bytes a pixel); "
                      f"this machine has {_mib(have)}")


def _physical_memory():
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return 1 << 62


def check_free_space(dest_dir, nbytes):
    st = os.statvfs(dest_dir)
    free = st.f_bavail * st.f_frsize
    if nbytes > free:
        raise Refusal(f"the DEM raster needs {nbytes} bytes ({_mib(nbytes)}) and {dest_dir} has "
                      f"{free} bytes ({_mib(free)}) free")


# ---------------------------------------------------------------- georeferencing


# ---------------------------------------------------------------- pixel size

def _ellipsoid_pixel(srs, gt, lines, columns, w_units, h_units):
    """Pixel sides in metres in geographic coordinates, on the CRS's own ellipsoid."""
    a, b = srs.GetSemiMajor(), srs.GetSemiMinor()
    rad = srs.GetAngularUnits()            # radians per angular unit
    e2 = 1 - (b * b) / (a * a)
    lat = math.degrees((gt[3] + gt[4] * columns / 2 + gt[5] * lines / 2) * rad)
    lat = max(-90.0, min(90.0, lat))
    phi = math.radians(lat)
    w = 1 - e2 * math.sin(phi) ** 2
    meridional = a * (1 - e2) / w ** 1.5   # radius of curvature north-south
    normal = a / math.sqrt(w)              # radius of curvature east-west
    width_m = w_units * rad * normal * math.cos(phi)
    height_m = h_units * rad * meridional
    w_sec, h_sec = math.degrees(w_units * rad) * 3600, math.degrees(h_units * rad) * 3600
    note = (f"geographic coordinates: a pixel of {w_sec:.4g}\" x {h_sec:.4g}\" is {width_m:.1f} m "
            f"east-west and {height_m:.1f} m north-south at the centre latitude {lat:.4f} "
            f"(ellipsoid of {a:.0f} m); the pixel size written is the side of a square of the "
            "same area, rounded (the tool only records it)")
    return width_m, height_m, [note]


def pixel_size_metres(ds, gt, lines, columns):
    """Returns (size in whole metres, list of notes) from the georeferencing."""
    if gt is None:
        raise Refusal("the source has no georeferencing, so its pixel size is unknown: "
                      "give it with --pixel-size METRES")
    srs = ds.GetSpatialRef()
    if srs is None:
        raise Refusal("the source has no coordinate reference system, so the unit of its "
                      "pixel size is unknown: give the size with --pixel-size METRES")
    w_units, h_units = math.hypot(gt[1], gt[4]), math.hypot(gt[2], gt[5])
    notes = []
    if srs.IsGeographic():
        width_m, height_m, notes = _ellipsoid_pixel(srs, gt, lines, columns, w_units, h_units)
    else:
        factor = srs.GetLinearUnits()
        width_m, height_m = w_units * factor, h_units * factor
        if abs(width_m - height_m) > 0.01 * max(width_m, height_m):
            notes.append(f"pixels are {width_m:.2f} m x {height_m:.2f} m; the pixel size "
                         "written is the side of a square of the same area, rounded")
    return _whole_pixel_size(math.sqrt(width_m * height_m), notes)


def _whole_pixel_size(size, notes):
    if not math.isfinite(size) or size >= INT32_MAX + 0.5:
        raise Refusal(f"a pixel size of {size:g} m does not fit the descriptor (at most "
                      f"{INT32_MAX} m): give one with --pixel-size METRES")
    whole = round_half_away(size)
    if whole < 1:
        notes.append(f"pixels of {size:.3g} m: the descriptor holds whole metres, 1 is written")
        whole = 1
    elif f"{size:.4g}" != str(whole) and not notes:
        notes.append(f"pixel size {size:.4g} m rounded to {whole} m (the descriptor holds whole metres)")
    return whole, notes



# ---------------------------------------------------------------- survey, fill and storage

@dataclass
class Survey:
    invalid: int = 0
    first_invalid: int = -1
    vmin: float = math.inf
    vmax: float = -math.inf
    whole: bool = True
    nonpositive: int = 0           # valid pixels at 0 m or below
    valid_min: float = math.inf    # the lowest valid elevation, the fill left out
    filled_nonpositive: int = 0    # pixels filled with a value at 0 m or below


def survey(pixels):
    """First pass: nodata count, range and whether every elevation is a whole metre."""
    s = Survey()
    for r0, _c0, metres, invalid in pixels.blocks():
        bad = int(np.count_nonzero(invalid))
        valid = metres[~invalid] if bad else metres.ravel()
        if bad:
            s.invalid += bad
            rows = np.nonzero(invalid.any(axis=1))[0]
            lines = [pixels.source_line(r0 + int(r)) for r in (rows[0], rows[-1])]
            s.first_invalid = min([x for x in [s.first_invalid] + lines if x >= 0])
        if valid.size == 0:
            continue
        s.vmin, s.vmax = min(s.vmin, float(valid.min())), max(s.vmax, float(valid.max()))
        s.nonpositive += int(np.count_nonzero(valid <= 0))
        if s.whole:
            s.whole = bool(np.all(np.floor(valid) == valid))
    s.valid_min = s.vmin
    return s


def choose_fill(s, fill, total):
    """(what the invalid pixels are, the value put there), both None when there are none;
    the survey takes the fill value into account."""
    if not s.invalid:
        return None, None
    where = (f"{s.invalid} of {total} pixels ({100.0 * s.invalid / total:.3g} %) are nodata "
             f"or masked, the first on line {s.first_invalid}")
    if fill is None:
        raise Refusal(where + ". The tool cannot skip pixels: give --fill VALUE (metres) or "
                      "--fill min to put a value there, or cut the area to the valid part "
                      "first (gdal_translate -srcwin ...)")
    lifted = fill == "min"  # --add lifts the lowest valid elevation, hence this fill
    if lifted:
        if s.vmin == math.inf:
            raise Refusal(where + "; every pixel is nodata, so there is no minimum (give --fill VALUE)")
        fill = s.vmin
    s.vmin, s.vmax = min(s.vmin, fill), max(s.vmax, fill)
    s.whole = s.whole and float(fill).is_integer()
    if fill <= 0 and lifted:
        s.nonpositive += s.invalid
    elif fill <= 0:
        s.filled_nonpositive = s.invalid
    return where, fill


@dataclass
class Storage:
    suffix: str
    storage: int
    interval: int
    unit_name: str
    per_metre: int
    dtype: str
    width: int
    smin: int
    smax: int


def default_unit(s, exact_unit):
    """Without --unit: whole metres within 0..65535 in metres; whole numbers of a finer
    unit given by an integer band's scale in that unit; anything else in millimetres (and
    whole metres beyond 32-bit millimetres in metres)."""
    if s.whole:
        in_mm = s.vmin * 1000 >= INT32_MIN and s.vmax * 1000 <= INT32_MAX
        return "m" if (s.vmin >= 0 and s.vmax <= 65535) or not in_mm else "mm"
    return exact_unit if exact_unit in ("dm", "cm") else "mm"


def choose_storage(s, unit, exact_unit=None):
    if s.vmin == math.inf:
        raise Refusal("the source holds no elevation at all")
    unit = unit or default_unit(s, exact_unit)
    unit_name, per_metre = UNITS[unit]
    lo, hi = s.vmin * per_metre, s.vmax * per_metre
    if not (math.isfinite(lo) and math.isfinite(hi)):
        raise Refusal(f"elevations {s.vmin:g} .. {s.vmax:g} m are beyond any sample")
    smin, smax = round_half_away(lo), round_half_away(hi)
    interval = INTERVAL[unit]
    if smin >= 0 and smax <= 65535:
        return Storage("_m2", 0, interval, unit_name, per_metre, "<u2", 2, smin, smax)
    if smin >= INT32_MIN and smax <= INT32_MAX:
        return Storage("_m4", 1, interval, unit_name, per_metre, "<i4", 4, smin, smax)
    raise Refusal(f"elevations {s.vmin:g} .. {s.vmax:g} m do not fit 32-bit samples in "
                  f"{unit_name}: choose a coarser --unit")


def sea_level_warning(valid_count, valid_min, filled_count, fill, add, fill_advice, goes_on):
    """The warning for elevations at 0 m or below: VALID_COUNT valid pixels (the lowest
    VALID_MIN), FILLED_COUNT pixels filled with FILL; advice that works: --add lifts the
    valid elevations only, so a fill value at 0 m or below gets FILL_ADVICE."""
    if not valid_count and not filled_count:
        return []
    lowest = min(valid_min if valid_count else math.inf, fill if filled_count else math.inf)
    advice = []
    if valid_count:
        advice.append(f"--add {add + 1 - valid_min:.10g} lifts the lowest to 1 m")
    if filled_count:
        advice.append(f"the {filled_count} nodata pixel(s) are filled with {fill:g} m, which "
                      f"--add does not lift: {fill_advice}")
    return [f"warning: {valid_count + filled_count} pixel(s) are at 0 m or below (lowest "
            f"{lowest:g} m): the ratio divides by the elevation, so sea level gives ratios of "
            f"millions and a flat grey image; {'; '.join(advice)} ({goes_on})"]


# ---------------------------------------------------------------- destination

def check_destination(paths, source_files, overwrite):
    """Refuses a destination that is the source or one of its files, a folder, or an
    existing file without `overwrite`."""
    for path in paths:
        if not os.path.lexists(path):
            continue
        if safe_files.same_file(path, source_files):
            raise Refusal(f"{path} is the source or one of its files: choose another NAME or folder")
        if os.path.isdir(path):
            raise Refusal(f"{path} is a folder")
        if not overwrite:
            raise Refusal(f"{path} exists: give --overwrite to replace it")


# ---------------------------------------------------------------- writing

def write_raster(out, pixels, fill, st, want_mask):
    """Second pass: the samples; returns (nodata array or None, rounded count, worst change)."""
    mask = np.zeros((pixels.lines, pixels.columns), dtype=bool) if want_mask else None
    rounded, worst = 0, 0.0
    for r0, c0, metres, invalid in pixels.blocks():
        if mask is not None:
            mask[r0:r0 + invalid.shape[0], c0:c0 + invalid.shape[1]] = invalid
            metres = np.where(invalid, fill, metres)
        s = metres * st.per_metre if st.per_metre != 1 else metres
        r = np.where(s >= 0, np.floor(s + 0.5), -np.floor(0.5 - s))
        change = np.abs(r - s)
        changed = int(np.count_nonzero(change))
        if changed:
            rounded += changed
            worst = max(worst, float(change.max()) / st.per_metre)
        out.write(r.astype(st.dtype).tobytes())
    return mask, rounded, worst


def write_pair(raster, descriptor, pixels, fill, st, pix):
    """Writes both files under temporary names, then renames them into place together."""
    temps = []
    try:
        with open(safe_files.new_temporary(raster, temps), "wb") as out:
            result = write_raster(out, pixels, fill, st, fill is not None)
        with open(safe_files.new_temporary(descriptor, temps), "wb") as out:
            out.write(f"{pixels.lines}\n{pixels.columns}\n{st.width}\n{st.smin}\n{st.smax}\n{pix}\n"
                      .encode())
        safe_files.commit_held(list(zip(list(temps), (raster, descriptor))), temps)
    except OSError as e:
        raise Refusal(f"could not write {e.filename or raster}: {e.strerror or e}")
    finally:
        with safe_files.signals_held():
            safe_files.remove(temps)
    return result


# ---------------------------------------------------------------- the conversion

def import_dem(source, dest_dir, name, opts, overwrite=False, log=None):
    """Converts SOURCE into dest_dir/NAME_m2.raw|NAME_m4.raw and its descriptor (dest_dir
    must exist). `opts` holds the conversion options (add_conversion_options). `log(text)`
    receives each note and warning line (default: print). Raises Refusal, with nothing
    written and no temporary left, on any refusal. Returns an Imported."""
    try:
        return _import(source, dest_dir, name, opts, overwrite, log or print)
    except OSError as e:
        raise Refusal(f"{e.filename or dest_dir}: {e.strerror or e}")


def _import(source, dest_dir, name, opts, overwrite, log):
    dem = Dem(source, opts)
    lines, columns = dem.lines, dem.columns
    log(dem.heading(PROG, opts.band))
    check_size(lines, columns, source)
    check_free_space(dest_dir, lines * columns * 2)
    pix, pix_notes = _pixel_size(opts, dem.ds, dem.source_geotransform, lines, columns)
    _notes(log, dem.notes)
    log(f"  pixel size: {pix} m")
    _notes(log, pix_notes)

    s = survey(dem.pixels)
    where, fill = choose_fill(s, opts.fill, lines * columns)
    log(f"  nodata: {where}; filled with {fill:g} m" if where else "  nodata: none")
    exact = dem.exact_unit(opts)
    st = choose_storage(s, opts.unit, exact and exact[0])
    log(f"  elevations: {s.vmin:g} .. {s.vmax:g} m" + (", whole metres" if s.whole else ""))
    for line in sea_level_warning(s.nonpositive, s.valid_min, s.filled_nonpositive, fill,
                                  opts.add, "--fill min, or a --fill value above 0",
                                  "the conversion goes on"):
        log(line)

    raster = os.path.join(dest_dir, name + st.suffix + ".raw")
    descriptor = os.path.join(dest_dir, name + st.suffix + ".txt")
    check_destination([raster, descriptor], dem.files(), overwrite)
    check_free_space(dest_dir, lines * columns * st.width)
    mask, rounded, worst = write_pair(raster, descriptor, dem.pixels, fill, st, pix)
    if rounded:
        log(f"  note: {rounded} pixel(s) rounded to the nearest {st.unit_name[:-1]} "
            f"(largest change {worst:.3g} m)")
    return Imported(raster, descriptor, st.storage, st.interval, lines, columns, pix,
                    dem.geotransform, dem.srs_wkt, mask)


def _pixel_size(opts, ds, gt, lines, columns):
    if opts.pixel_size is None:
        return pixel_size_metres(ds, gt, lines, columns)
    whole = round_half_away(opts.pixel_size)
    if whole < 1:
        return 1, [f"pixel size {opts.pixel_size:g} m: whole metres are written, 1"]
    return whole, []


def _notes(log, notes):
    for n in notes:
        log("  note: " + n)
