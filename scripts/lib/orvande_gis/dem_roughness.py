"""dem-roughness's command line: the roughness maps of any DEM that GDAL reads.

    dem-roughness SOURCE OUTPUT [options]

reads SOURCE a block of lines at a time (source_lines), runs the roughness passes in this
process through the module orvande_roughness (roughness_module), and writes
OUTPUT_roughness.tif, OUTPUT_roughness_str.tif and OUTPUT_ratio.tif block by block (maps),
renamed into place as one set.
"""

import argparse
import os
import sys
import time

import numpy as np
from osgeo import gdal

from . import VERSION, early_strips, maps, roughness_module, safe_files
from .gdal_worker import GdalWorker
from .safe_files import NAME_MAX, Interrupted, Refusal
from .source import Dem, add_conversion_options
from .source_lines import SourceLines
from .source import round_half_away
from .tool_format import sea_level_warning

PROG = "dem-roughness"
# Decoded source lines kept for the passes: at most this many bytes (and an eighth of the
# memory); the centred levels kept for the stretched map: at most half as many.
CACHE_BYTES = early_strips.KEPT_BYTES


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Compute the 3x3 roughness ratio of a DEM that GDAL reads and write "
                    "OUTPUT_roughness.tif (grey levels centred on 128), "
                    "OUTPUT_roughness_str.tif (contrast-stretched) and OUTPUT_ratio.tif "
                    "(the ratio, Float32), georeferenced as SOURCE.",
        epilog="Nodata (the band's nodata value, its mask, an alpha band, NaN) is left out: "
               "a pixel has a ratio when its 3x3 window is valid; the others, and the "
               "frame, are masked in the maps and nodata (NaN) in the ratio. Integer "
               "elevations in metres, decimetres, centimetres or millimetres (a band scale "
               "of 1, 0.1, 0.01 or 0.001) are taken exactly, as the roughness tool takes "
               "them; any other source as metres. The roughness module is found through "
               "PYTHONPATH, else installed, else in the project's build/python.")
    p.add_argument("source", metavar="SOURCE", help="the DEM, any raster GDAL reads")
    p.add_argument("output", metavar="OUTPUT",
                   help="prefix of the outputs: OUTPUT_roughness.tif, OUTPUT_roughness_str.tif, "
                        "OUTPUT_ratio.tif")
    p.add_argument("--coef", type=float, default=2.0, metavar="PERCENT",
                   help="coefficient of stretching: the percentage of pixels cut off at each "
                        "end of the stretched map (default 2)")
    p.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    p.add_argument("--no-ratio", action="store_true", help="leave OUTPUT_ratio.tif out")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress and no notes")
    p.add_argument("--version", action="version", version=f"{PROG} (orvande_3d_roughness) {VERSION}")
    p.add_argument("--dask", metavar="ADDRESS",
                   help="compute on the Dask cluster at ADDRESS (tcp://host:port), or on a local "
                        "cluster of N worker processes (local:N): the same maps, written as tiled "
                        "GeoTIFF tiles under OUTPUT_roughness.vrt, OUTPUT_roughness_str.vrt and "
                        "OUTPUT_ratio.vrt (the source taken as it is: band 1, its nodata value)")
    p.add_argument("--keep", action="store_true", help=argparse.SUPPRESS)
    add_conversion_options(
        p, unit_help="round the elevations to this unit, as the roughness tool would read "
                     "them from a DEM in that unit (default: exact)",
        pixel_size_help="no effect on the maps (accepted for dem-import's sake)")
    args = p.parse_args(argv)
    if not 0 <= args.coef < 50:
        p.error(f"--coef must be at least 0 and below 50, not {args.coef:g}")
    if not os.path.basename(args.output):
        p.error(f"OUTPUT must end with a name, not a folder: {args.output!r}")
    return args


# ---------------------------------------------------------------- what it says

class Say:
    """Notes on standard output (none with -q; a reader that went away only stops them),
    warnings and progress on standard error (progress only on a terminal, not with -q)."""

    def __init__(self, quiet):
        self.quiet = quiet
        self.progress_shown = not quiet and sys.stderr.isatty()
        self.stdout_open = True
        self.last = None

    def note(self, text):
        if self.quiet or not self.stdout_open:
            return
        try:
            print(text, flush=True)
        except (BrokenPipeError, OSError):
            self.stdout_open = False
            try:
                sys.stdout = open(os.devnull, "w")
            except OSError:
                pass

    def warn(self, text):
        self.end_progress()
        print(text, file=sys.stderr, flush=True)

    def progress(self, what, fraction):
        if not self.progress_shown:
            return
        shown = (what, int(100 * fraction))
        if shown != self.last:
            self.last = shown
            sys.stderr.write(f"\r{PROG}: {what} {shown[1]:3d} %\033[K")
            sys.stderr.flush()

    def end_progress(self):
        if self.last is not None:
            sys.stderr.write("\n")
            self.last = None


# ---------------------------------------------------------------- checks before any work

def output_prefix(output, say):
    """OUTPUT in its real folder (the kernel's reading of 'link/..'), without a .tif."""
    folder, name = os.path.split(output)
    stem, ext = os.path.splitext(name)
    if ext.lower() in (".tif", ".tiff") and stem:
        say.note(f"  note: OUTPUT {output} is taken as the prefix {os.path.join(folder, stem)}")
        name = stem
    real = os.path.realpath(folder or ".")
    if not os.path.exists(real):
        raise Refusal(f"the output folder {folder or '.'} does not exist")
    if not os.path.isdir(real):
        raise Refusal(f"the output folder {folder} is not a folder")
    if not os.access(real, os.W_OK | os.X_OK):
        raise Refusal(f"the output folder {folder or '.'} is not writable")
    return os.path.join(real, name)


def check_outputs(finals, dem, overwrite):
    """Refuses an output that is a source file (whatever the options), a folder, a name
    too long, or an existing file without --overwrite."""
    for path in finals.values():
        if len(os.fsencode(os.path.basename(path))) > NAME_MAX:
            raise Refusal(f"the output name {os.path.basename(path)} is longer than "
                          f"{NAME_MAX} bytes")
        if not os.path.lexists(path):
            continue
        source_file = safe_files.same_file(path, dem.files())
        if source_file:
            raise Refusal(f"SOURCE {source_file} would be replaced by the output {path}: "
                          "choose another OUTPUT")
        if os.path.isdir(path):
            raise Refusal(f"the output {path} is a folder")
        if not overwrite:
            raise Refusal(f"{path} exists (--overwrite replaces it)")


# ---------------------------------------------------------------- the run

def elevations(dem, args):
    """(exact unit or None, fill in metres or None) as the passes take them."""
    exact = dem.exact_unit(args)
    if args.unit:
        exact = (args.unit, None) if not exact or exact[0] != args.unit else exact
    fill = args.fill
    if fill == "min":
        survey = SourceLines(dem, exact, None, cache_bytes=0)
        for s in range(-(-dem.lines // survey.strip_lines)):
            survey._strip(s)
        if survey.lowest == np.inf:
            raise Refusal("every pixel is nodata, so there is no minimum for --fill min")
        fill = survey.lowest
    if exact and fill is not None and exact[1] is not None:
        per = {"m": 1, "dm": 10, "cm": 100, "mm": 1000}[exact[0]]
        if fill * per != round_half_away(fill * per):
            exact = None  # a fill value that is not a whole number of the unit: metres
    return exact, fill


def compute(dem, args, finals, say):
    core = roughness_module.load()
    exact, fill = elevations(dem, args)
    budget = os.environ.get("ORVANDE_GIS_CACHE_BYTES", "")  # (tests: 0, nothing kept)
    budget = int(budget) if budget.isdigit() else min(CACHE_BYTES, _physical_memory() // 8)
    block = os.environ.get("ORVANDE_GIS_BLOCK_LINES", "")  # lines a block (tests)
    block = int(block) if block.isdigit() and int(block) > 0 else None
    worker = outputs = lines = None
    spent = {"reading": 0.0, "writing": 0.0}

    def read(first, count):
        t = time.perf_counter()
        got = lines.read(first, count)
        spent["reading"] += time.perf_counter() - t
        return got

    def write(first, ratio, centred, _):
        t = time.perf_counter()
        early_strips.join()  # no output is written while another thread reads through GDAL
        count = len(centred)
        mask = None
        if ratio is None:
            lo, hi = max(first - 1, 0), min(first + count + 1, dem.lines)
            mask = maps.has_ratio(lines.valid(lo, hi - lo), first, count, dem.lines)
        worker.put(outputs.put_results, first, centred, ratio, mask)
        spent["writing"] += time.perf_counter() - t

    try:
        worker = GdalWorker()  # every GDAL call from here to the end of the passes
        lines = SourceLines(dem, exact, fill, budget, strip_lines=block, worker=worker,
                            early=early_strips.started())
        outputs = maps.Outputs(finals, dem, keep_bytes=budget // 2)
        start = time.perf_counter()
        figures = core.stream(read, dem.lines, dem.columns, args.coef, write=write,
                              unit=lines.unit, progress=say.progress, ratio="ratio" in finals,
                              block_lines=lines.strip_lines, stretched=False)
        worker.drain()
        streamed = time.perf_counter()
        worker.close()
        outputs.stretch(figures.mapping, say.progress)
        say.end_progress()
        outputs.finish(figures)
        outputs.commit()
        if os.environ.get("ORVANDE_GIS_TIMES"):
            _times(spent, streamed - start, time.perf_counter() - streamed, lines)
    finally:
        with safe_files.signals_held():  # whatever comes, nothing is left behind
            say.end_progress()
            early_strips.join()
            if worker:
                worker.close()
            if outputs:
                outputs.discard()
    safe_files.raise_held(written=True)
    return lines, fill, figures


def _times(spent, streamed, closing, lines):
    """Where the time went (ORVANDE_GIS_TIMES=1), on standard error."""
    passes = streamed - spent["reading"] - spent["writing"]
    print(f"waiting for the source's lines: {spent['reading']:.3f} s "
          f"({len(lines.surveyed)} strips of {lines.strip_lines} lines decoded ahead of the "
          f"passes, {len(lines.kept)} kept: {lines.kept_bytes >> 20} MiB)\n"
          f"the passes: {passes:.3f} s\n"
          f"handing the results to the writing thread: {spent['writing']:.3f} s; "
          f"the stretched map and closing the outputs: {closing:.3f} s", file=sys.stderr)


def roughness(args, say):
    prefix = output_prefix(args.output, say)
    finals = maps.output_paths(prefix, not args.no_ratio)
    dem = Dem(args.source, args)
    say.note(dem.heading(PROG, args.band))
    for n in dem.notes:
        say.note("  note: " + n)
    if dem.lines < 3 or dem.columns < 3:
        raise Refusal(f"{args.source} has {dem.lines} line(s) and {dem.columns} column(s): "
                      "a ratio needs at least 3 x 3 pixels")
    check_outputs(finals, dem, args.overwrite)
    lines, fill, figures = compute(dem, args, finals, say)
    filled = lines.invalid if fill is not None and args.fill != "min" and fill <= 0 else 0
    for w in sea_level_warning(lines.at_or_below_zero, lines.lowest, filled, fill, args.add,
                               "leave --fill out (nodata is then left out), or --fill min",
                               "the maps are written"):
        say.warn(w)
    for kind, path in finals.items():
        say.note(f"Wrote {path} ({kind}, {dem.lines} lines x {dem.columns} columns)")
    say.note(f"  ratio {figures.ratio_min!r} .. {figures.ratio_max!r}, maximum stretch "
             f"{figures.max_stretch!r}, cut-offs {figures.lower_cutoff} and "
             f"{figures.upper_cutoff}, {figures.pixel_count} pixels")


def cluster_unit(dem, args):
    """The unit in which the cluster takes the source's samples as they are, when they are
    what the single-process run would compute on; a Refusal otherwise."""
    if args.fill is not None or args.add or args.unit or args.band != 1:
        raise Refusal("--dask takes band 1 of the source as it is: leave out --fill, --add, --unit "
                      "and --band (or convert the source first with gdal_translate)")
    kind = dem.pixels.mask_kind
    if kind and not kind.startswith("equal to the band's nodata value"):
        raise Refusal(f"--dask marks nodata by the band's nodata value only, and pixels of "
                      f"{args.source} are {kind}: leave --dask out")
    exact = dem.exact_unit(args)
    if exact and exact[1] == 0:
        return exact[0]
    p = dem.pixels
    if dem.band.DataType in (gdal.GDT_Float32, gdal.GDT_Float64) and p.scale == 1.0 and p.offset == 0.0 \
            and dem.factor == 1:
        return "m"
    raise Refusal(f"--dask takes samples as they are, and {args.source} has a scale, an offset or a "
                  "vertical unit to apply: leave --dask out")


def roughness_on_cluster(args, say):
    """The maps computed on a Dask cluster (orvande_roughness.cluster), written as tiles under
    VRTs and replaced as a set."""
    dem = Dem(args.source, args)
    say.note(dem.heading(PROG, args.band))
    if dem.lines < 3 or dem.columns < 3:
        raise Refusal(f"{args.source} has {dem.lines} line(s) and {dem.columns} column(s): "
                      "a ratio needs at least 3 x 3 pixels")
    unit = cluster_unit(dem, args)
    roughness_module.load()
    from orvande_roughness import cluster
    prefix = output_prefix(args.output, say)
    try:
        written = cluster.maps_to_geotiffs(args.source, prefix, args.coef, args.dask, unit=unit,
                                           ratio=not args.no_ratio, overwrite=args.overwrite)
    except cluster.SchedulerUnreachable as e:
        raise Refusal(str(e).replace("; nothing was written", ""))
    except FileExistsError as e:
        raise Refusal(f"{e.filename or e} exists (--overwrite replaces it)")
    for path in written:
        say.note(f"Wrote {path} ({dem.lines} lines x {dem.columns} columns)")


def _physical_memory():
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return 1 << 34


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    say = Say(args.quiet)
    if args.keep:
        say.note("  note: --keep has no effect: there is no scratch folder any more")
    safe_files.handle_signals()
    early_strips.gdal_settings()
    try:
        (roughness_on_cluster if args.dask else roughness)(args, say)
        return 0
    except Interrupted as e:
        reason = f"{e}; " + ("the outputs were written completely before it" if e.written
                             else "nothing written")
    except Refusal as e:
        reason = f"{e}; nothing written"
    except MemoryError:
        reason = f"out of memory while computing the maps of {args.output}; nothing written"
    except OSError as e:
        reason = f"{e.filename or args.output}: {e.strerror or e}; nothing written"
    except RuntimeError as e:  # GDAL's own errors
        text = str(e).strip()
        reason = f"GDAL: {text.splitlines()[0] if text else 'unknown error'}; nothing written"
    say.warn(f"{PROG}: {reason}")
    return 1


def run():
    """Entry point of scripts/dem-roughness. Every file is closed (or removed) when main()
    returns: the process ends there, without the interpreter's teardown (some hundredths
    of a second spent freeing what the run held)."""
    try:
        status = main()
    finally:
        early_strips.join()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (BrokenPipeError, OSError):
            pass
    os._exit(status)
