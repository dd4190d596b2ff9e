"""Finding orvande_roughness, the Python module of the roughness passes (built with the
project's CMake into build/python/).

The one found first is imported: through PYTHONPATH, then an installed one (Python's own
path, and the installation prefix of these commands), then the project's build/python. So
a build, an installation and a test of another build (PYTHONPATH=that/build/python) each
run the module they mean.
"""

import glob
import importlib.machinery
import importlib.util
import os
import sys

from . import PROJECT_OR_PREFIX
from .safe_files import Refusal

NAME = "orvande_roughness"


def _pythonpath():
    return [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]


def _installed():
    """Python's path without the PYTHONPATH entries and this package's folder, then the
    places below the installation prefix where the module may be installed."""
    mine = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    skip = {os.path.abspath(p) for p in _pythonpath()} | {mine}
    found = [p for p in sys.path if p and os.path.abspath(p) not in skip]
    prefix = PROJECT_OR_PREFIX
    found += [mine, os.path.join(mine, "python"),
              os.path.join(prefix, "lib", "orvande_3d_roughness"),
              os.path.join(prefix, "lib", "orvande_3d_roughness", "python")]
    for pattern in ("lib/python3*/*-packages", "lib/python3/dist-packages",
                    "lib/*/python3*/*-packages"):
        found += sorted(glob.glob(os.path.join(prefix, pattern)))
    return found


def places():
    """(what, folders) in the order of the search."""
    return [("PYTHONPATH", _pythonpath()), ("installed", _installed()),
            ("the project's build", [os.path.join(PROJECT_OR_PREFIX, "build", "python")])]


def _share_folder(found):
    """Puts the folder the module was found in on Python's path and on PYTHONPATH, so that the
    processes this one starts (a local Dask cluster's workers) import the same module."""
    folder = os.path.dirname(found.origin)
    if found.submodule_search_locations:  # a package: its folder's parent
        folder = os.path.dirname(folder)
    if folder not in sys.path:
        sys.path.insert(0, folder)
    paths = _pythonpath()
    if folder not in paths:
        os.environ["PYTHONPATH"] = os.pathsep.join([folder] + paths)


def load():
    """Imports and returns the module; Refusal when there is none or it cannot be loaded."""
    if NAME in sys.modules:
        return sys.modules[NAME]
    for _what, folders in places():
        found = importlib.machinery.PathFinder.find_spec(NAME, folders)
        if found is None:
            continue
        module = importlib.util.module_from_spec(found)
        sys.modules[NAME] = module  # a package's own imports (its compiled part) find it
        try:
            found.loader.exec_module(module)
        except ImportError as e:
            del sys.modules[NAME]
            raise Refusal(f"the roughness module {found.origin} cannot be loaded: {e} (it must "
                          f"be built for {sys.executable}, Python "
                          f"{sys.version_info.major}.{sys.version_info.minor})")
        _share_folder(found)
        return module
    raise Refusal(f"the roughness module {NAME} is not found (PYTHONPATH, an installed one, "
                  "or the project's build/python): build the project with CMake "
                  "(cmake -S . -B build && cmake --build build), or set PYTHONPATH to a "
                  "build's python/ folder")
