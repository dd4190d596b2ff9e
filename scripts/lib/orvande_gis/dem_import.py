"""dem-import's command line: converts a DEM that GDAL reads into the roughness tool's DEM
format (tool_format) below --root, and prints the answers to type at the tool's questions.
"""

import argparse
import os
import shlex
import shutil
import signal
import sys

from . import PROJECT_OR_PREFIX, VERSION, safe_files
from .safe_files import Interrupted, Refusal
from .source import add_conversion_options
from .tool_format import (IMAGES_PREFIX, LONGEST_RESULT_SUFFIX, MENU_LABEL, PATH_LIMIT, PROG,
                          import_dem)

TOOL = "orvande_3d_roughness"
UNITS_BY_INTERVAL = {0: "metres", 1: "decimetres", 2: "centimetres", 3: "millimetres"}


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Convert a DEM that GDAL reads (GeoTIFF, ASCII grid, ...) into "
                    "c:/images/FOLDER/NAME_m2.raw or NAME_m4.raw with its six-number "
                    f"descriptor, for {TOOL}.",
        epilog="Without --unit: whole metres within 0..65535 give NAME_m2 in metres, "
               "anything else NAME_m4 in millimetres. Nodata and masked pixels are refused "
               "unless --fill says what to put there. Elevations in feet (said by the band "
               "or the coordinate system) are converted to metres. An existing DEM is only "
               "replaced with --overwrite. A SOURCE whose name begins with '-' goes after "
               "'--' (or as ./-name.tif).")
    p.add_argument("source", metavar="SOURCE", help="the DEM file, any raster GDAL reads")
    p.add_argument("folder", metavar="FOLDER", help="folder name to type at the tool's folder question")
    p.add_argument("name", metavar="NAME", help="DEM name to type at the tool's DEM-name question")
    p.add_argument("--root", default=".", metavar="DIR",
                   help="the directory the tool will run in (default: the current one); "
                        "the files go to DIR/c:/images/FOLDER/")
    p.add_argument("--overwrite", action="store_true",
                   help="replace an existing DEM of that name")
    p.add_argument("--version", action="version", version=f"{PROG} ({TOOL}) {VERSION}")
    add_conversion_options(
        p, unit_help="store elevations in this unit (rounded to the nearest one); _m2 when "
                     "they fit 0..65535, else _m4",
        pixel_size_help="pixel size to write, instead of the one taken from the georeferencing")
    args = p.parse_args(argv)
    for what, word in (("FOLDER", args.folder), ("NAME", args.name)):
        if not word or any(c.isspace() or c in "/\\" for c in word):
            p.error(f"{what} must be one word without blanks, slashes or backslashes: {word!r}")
    return args


def check_tool_words(folder, name):
    """Refuses a FOLDER or NAME that would make one of the tool's paths too long (bytes)."""
    room = len(os.fsencode(IMAGES_PREFIX + folder + "\\" + "x" + LONGEST_RESULT_SUFFIX))
    if room > PATH_LIMIT:
        raise Refusal(f"the folder name {folder} takes {len(os.fsencode(folder))} bytes, too "
                      f"many for the tool's {PATH_LIMIT}-byte paths: choose a shorter FOLDER")
    text = IMAGES_PREFIX + folder + "\\" + name + "_m2.raw"
    if len(os.fsencode(text)) > PATH_LIMIT:
        raise Refusal(f"the tool's path for this DEM, {text}, is longer than {PATH_LIMIT} "
                      "bytes: choose a shorter FOLDER or NAME")


def make_folders(path):
    """Creates PATH and its missing parents; returns those it created, deepest first."""
    made = []
    while path and not os.path.isdir(path):
        made.append(path)
        path = os.path.dirname(path)
    for d in reversed(made):
        os.mkdir(d)
    return made


def tool_command():
    """The tool as a command that works as printed, and from any folder: ORVANDE_BIN (a
    relative path made absolute, a bare name looked up on PATH), else the installed tool
    (<prefix>/bin beside <prefix>/share/<project>/), else the project's build/ (beside
    scripts/lib/), else the tool on PATH; None when there is none."""
    env = os.environ.get("ORVANDE_BIN")
    if env:
        return os.path.abspath(env) if os.sep in env else shutil.which(env) or env
    up = PROJECT_OR_PREFIX
    for cand in (os.path.join(up, "bin", TOOL), os.path.join(up, "build", TOOL)):
        if os.path.isfile(cand) and os.access(cand, os.X_OK):
            return cand
    on_path = shutil.which(TOOL)
    return os.path.abspath(on_path) if on_path else None


def print_next_step(args, done):
    root = os.path.abspath(args.root)
    shown = "c:/images/" + args.folder + "/" + os.path.basename(done.raster)[:-4]
    width = 2 if done.storage == 0 else 4
    with open(done.descriptor) as d:
        numbers = " ".join(d.read().split())
    print(f"Wrote {shown}.raw ({8 * width}-bit, {UNITS_BY_INTERVAL[done.interval]}) and "
          f"{shown}.txt ({numbers})")
    print(f"  in {root}")
    other = done.raster[:-7] + ("_m4" if done.storage == 0 else "_m2") + ".raw"
    if os.path.exists(other):
        print(f"  note: {os.path.basename(other)} is also in that folder: the type answer "
              "picks which one the tool reads")
    print()
    print(f"Run {TOOL} in {root} and answer:")
    print(f"  folder ............. {args.folder}")
    print(f"  DEM name ........... {args.name}")
    print(f"  type of MNT ........ {done.storage}   ({'_m2' if done.storage == 0 else '_m4'})")
    print(f"  hypsometric interval {done.interval}   ({MENU_LABEL[done.interval]})")
    tool = tool_command()
    print("For example, with results named rough, bitmap format and a 2 % stretch:")
    print(f"  cd {shlex.quote(root)} && printf '%s\\n' {shlex.quote(args.folder)} "
          f"{shlex.quote(args.name)} {done.storage} {done.interval} rough 0 2 "
          f"| {shlex.quote(tool or TOOL)}")
    if tool is None:
        print(f"  ({TOOL} is neither installed nor built: cmake -S . -B build && "
              "cmake --build build gives build/" + TOOL + ")")



def _cli_log(text):
    print(text, file=sys.stderr if text.startswith("warning:") else sys.stdout, flush=True)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    safe_files.handle_signals()
    made = []
    try:
        check_tool_words(args.folder, args.name)
        dest = os.path.join(args.root, "c:", "images", args.folder)
        made = make_folders(dest)
        done = import_dem(args.source, dest, args.name, args, overwrite=args.overwrite,
                          log=_cli_log)
    except Interrupted as e:
        _cleanup_folders(made, e.written)
        print(f"{PROG}: {e}; " + ("the DEM was written completely before it" if e.written
                                  else "nothing written"), file=sys.stderr)
        return 1
    except (Refusal, OSError) as e:
        _cleanup_folders(made, False)
        reason = e if isinstance(e, Refusal) else f"{e.filename}: {e.strerror}"
        sys.stdout.flush()
        print(f"{PROG}: {reason}", file=sys.stderr)
        print(f"{PROG}: nothing written", file=sys.stderr)
        return 1
    print_next_step(args, done)
    return 0


def _cleanup_folders(made, keep):
    if keep:
        return
    for d in made:
        try:
            os.rmdir(d)
        except OSError:
            break


def run():
    """Entry point of scripts/dem-import."""
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    sys.exit(main())
