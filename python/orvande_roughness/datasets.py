"""maps_dataset(): the roughness maps of an xarray DataArray, chunked with Dask or not.

On a Dask array every step is the core's, on one block with a one-pixel halo (dask's overlap,
depth 1, no boundary: the frame is the whole array's):
  1. each block's partial ratio range, merged by a tree reduction (merge_ranges: the same as
     folded in pixel order, whatever the chunks and the grouping);
  2. with the maximum stretch, each block's counts of its centred levels, added by a tree
     reduction; the figures (threshold, cut-offs, mapping) from them;
  3. lazily, each block's ratios, centred and stretched levels.
The first two are computed when maps_dataset() is called, on the current Dask scheduler (a
distributed Client when one is active); the third when the maps are.
"""
import numpy as np
import xarray as xr

from . import _core

FIGURES = ("ratio_min", "ratio_max", "max_stretch", "centred_min", "centred_max", "histogram", "threshold",
           "pixel_count", "lower_cutoff", "upper_cutoff", "coefficient", "mapping")
SPLIT_EVERY = 16  # partial results merged by one task of the tree reductions


def maps_dataset(da, coefficient, unit="m", mask=None, dtype="float32"):
    da = two_d(da, "da")
    dtype = np.dtype(dtype)
    if dtype.kind != "f":
        raise TypeError("dtype must be a floating type, not %s" % dtype)
    mask = mask_of(mask, da)
    check_arguments(da.dtype, unit, coefficient)
    if is_dask(da.data) and da.size > 0:
        ratio, centred, stretched, figures, _ = dask_maps(da.data, coefficient, unit, mask, dtype)
    else:
        values = np.asarray(da.data)
        mask = None if mask is None else np.asarray(mask)
        figures = _core.maps(values, coefficient, unit=unit, mask=mask)
        centred, stretched = figures.centred, figures.stretched
        ratio = _core.ratio(values, unit=unit, mask=mask).astype(dtype)
    attrs = {name: getattr(figures, name) for name in FIGURES}
    out = xr.Dataset({"ratio": (da.dims, ratio), "centred": (da.dims, centred), "stretched": (da.dims, stretched)},
                     coords=da.coords, attrs=attrs)
    grid_mapping = da.encoding.get("grid_mapping", da.attrs.get("grid_mapping"))
    if grid_mapping is None and "spatial_ref" in da.coords:
        grid_mapping = "spatial_ref"
    if grid_mapping is not None:
        for name in out.data_vars:
            out[name].encoding["grid_mapping"] = grid_mapping
    return out


# ---------------------------------------------------------------- arguments

def two_d(da, what):
    if not isinstance(da, xr.DataArray):
        raise TypeError("%s must be an xarray.DataArray, not %s" % (what, type(da).__name__))
    if da.ndim == 3 and da.shape[0] == 1:
        da = da.isel({da.dims[0]: 0}, drop=True)
    if da.ndim != 2:
        raise ValueError("%s must be 2-D or one band (1, y, x); it has shape %s" % (what, da.shape))
    return da


def mask_of(mask, da):
    if mask is None:
        return None
    if isinstance(mask, xr.DataArray):
        mask = two_d(mask, "mask").data
    elif not is_dask(mask):
        mask = np.asarray(mask)
    if mask.shape != da.shape:
        raise ValueError("mask has shape %s; the elevations have %s" % (mask.shape, da.shape))
    if np.dtype(mask.dtype).kind != "b":
        raise TypeError("mask must be a bool array, not %s" % mask.dtype)
    return mask


def check_arguments(dtype, unit, coefficient):
    """The module's own checks of the dtype and the unit, on one pixel, before any work."""
    _core.maps(np.zeros((1, 1), dtype), float(coefficient), unit=unit)


def is_dask(array):
    return type(array).__module__.split(".")[0] == "dask"


# ---------------------------------------------------------------- on a Dask array

def dask_maps(data, coefficient, unit, mask, dtype):
    import dask
    import dask.array as dsa

    data = dsa.asarray(data)
    if any(size == 0 for sizes in data.chunks for size in sizes):  # no empty block
        data = data.rechunk(tuple(tuple(s for s in sizes if s) for sizes in data.chunks))
    if mask is not None:
        mask = dsa.asarray(mask).rechunk(data.chunks)
    blocks = HaloBlocks(data, mask, unit)
    nb_lig, nb_col = data.shape
    (ratios,) = dask.compute(blocks.reduce("orvande-ratio-range", block_range, (), merge))
    _, _, max_stretch = _core.ratio_figures(ratios)
    (tally,) = dask.compute(blocks.reduce("orvande-level-counts", block_tally, (max_stretch,), add))
    figures = _core.figures(nb_lig, nb_col, ratios, tally, float(coefficient))
    ratio, centred, stretched = blocks.maps(max_stretch, figures.mapping, dtype)
    return ratio, centred, stretched, figures, blocks


class HaloBlocks:
    """The blocks of a Dask array with a one-pixel halo (dask's overlap, depth 1, no
    boundary), and graphs of one task a block: each block knows where it lies in the raster."""

    def __init__(self, data, mask, unit):
        import dask.array as dsa
        depth = {0: 1, 1: 1}
        self.chunks = data.chunks
        self.values = dsa.overlap.overlap(data, depth=depth, boundary="none")
        self.mask = None if mask is None else dsa.overlap.overlap(mask, depth=depth, boundary="none")
        self.unit = unit
        self.shape = data.shape
        self.token = tokenize_of(data, mask, unit)

    def tasks(self, name, func, extra):
        """{(name, i, j): task} computing func(values, mask, first_line, first_col, nb_lig,
        nb_col, lines, cols, unit, *extra) on every block."""
        line_starts = np.cumsum((0,) + self.chunks[0]).tolist()
        col_starts = np.cumsum((0,) + self.chunks[1]).tolist()
        dsk = {}
        for i in range(len(self.chunks[0])):
            for j in range(len(self.chunks[1])):
                lines = (line_starts[i], line_starts[i + 1])
                cols = (col_starts[j], col_starts[j + 1])
                mask = None if self.mask is None else (self.mask.name, i, j)
                dsk[name, i, j] = (func, (self.values.name, i, j), mask, lines[0] - (i > 0), cols[0] - (j > 0),
                                   self.shape[0], self.shape[1], list(lines), list(cols), self.unit) + tuple(extra)
        return dsk

    def graph(self, name, dsk):
        from dask.highlevelgraph import HighLevelGraph
        deps = [self.values] + ([] if self.mask is None else [self.mask])
        return HighLevelGraph.from_collections(name, dsk, dependencies=deps)

    def reduce(self, name, func, extra, combine):
        """A Delayed of the tree reduction by combine (SPLIT_EVERY at a time) of func's results."""
        from dask.delayed import Delayed
        name = name + "-" + self.token
        dsk = self.tasks(name, func, extra)
        level, keys = 0, list(dsk)
        while True:
            level += 1
            groups = [keys[k:k + SPLIT_EVERY] for k in range(0, len(keys), SPLIT_EVERY)]
            keys = [(name + "-tree", level, k) for k in range(len(groups))]
            for key, group in zip(keys, groups):
                dsk[key] = (combine, list(group))
            if len(keys) == 1:
                return Delayed(keys[0], self.graph(name, dsk), layer=name)

    def maps(self, max_stretch, mapping, dtype):
        """The lazy ratio (dtype), centred and stretched levels (uint8) of every block: the
        ratios by tasks of their own, so that the levels alone skip computing them exactly."""
        from dask.highlevelgraph import HighLevelGraph
        token = tokenize_of(self.token, max_stretch, mapping, dtype)
        ratio = self.array("orvande-ratio-" + token, block_ratio, (dtype,), dtype)
        name = "orvande-levels-" + token
        dsk = self.tasks(name, block_levels, (max_stretch, mapping))
        both = self.graph(name, dsk)
        out = [ratio]
        for k in (0, 1):
            part = "%s-%d" % (name, k)
            layer = {(part,) + key[1:]: (getitem, key, k) for key in dsk}
            graph = HighLevelGraph(dict(both.layers, **{part: layer}), dict(both.dependencies, **{part: {name}}))
            out.append(self.wrap(graph, part, np.uint8))
        return out

    def has_ratio(self):
        """The lazy bool array, True where a pixel has a ratio."""
        return self.array("orvande-has-ratio-" + self.token, block_has_ratio, (), bool)

    def array(self, name, func, extra, kind):
        return self.wrap(self.graph(name, self.tasks(name, func, extra)), name, kind)

    def wrap(self, graph, name, kind):
        import dask.array as dsa
        return dsa.Array(graph, name, self.chunks, meta=np.empty((0, 0), kind))


def tokenize_of(*args):
    from dask.base import tokenize
    return tokenize(*args)


def getitem(t, k):
    return t[k]


# The tasks (module functions, so that the workers of a cluster can unpickle them).

def block_range(values, mask, first_line, first_col, nb_lig, nb_col, lines, cols, unit):
    block = _core.Block(values, first_line, first_col, nb_lig, nb_col, unit, mask)
    return block.ratio_range(lines, cols)


def block_tally(values, mask, first_line, first_col, nb_lig, nb_col, lines, cols, unit, max_stretch):
    block = _core.Block(values, first_line, first_col, nb_lig, nb_col, unit, mask)
    return block.levels(max_stretch, lines=lines, cols=cols)[2]


def block_levels(values, mask, first_line, first_col, nb_lig, nb_col, lines, cols, unit, max_stretch, mapping):
    block = _core.Block(values, first_line, first_col, nb_lig, nb_col, unit, mask)
    centred = block.levels(max_stretch, lines=lines, cols=cols)[0]
    return centred, _core.stretch_levels(mapping, centred)


def block_ratio(values, mask, first_line, first_col, nb_lig, nb_col, lines, cols, unit, dtype):
    block = _core.Block(values, first_line, first_col, nb_lig, nb_col, unit, mask)
    return block.levels(1.0, centred=False, ratio=True, lines=lines, cols=cols)[1].astype(dtype)


def block_has_ratio(values, mask, first_line, first_col, nb_lig, nb_col, lines, cols, unit):
    """True where a pixel is interior and the nine pixels of its window are valid (from the
    mask and, for floats, finite values), as the core decides it."""
    valid = np.ones(values.shape, bool) if mask is None else np.array(mask, bool)
    if values.dtype.kind == "f":
        valid &= np.isfinite(values)
    out = np.zeros((lines[1] - lines[0], cols[1] - cols[0]), bool)
    a, b = max(lines[0], 1), min(lines[1], nb_lig - 1)
    c, d = max(cols[0], 1), min(cols[1], nb_col - 1)
    if a < b and c < d:
        window = np.ones((b - a, d - c), bool)
        for dy in (-1, 0, 1):
            for dx in (-1, 0, 1):
                window &= valid[a + dy - first_line:b + dy - first_line, c + dx - first_col:d + dx - first_col]
        out[a - lines[0]:b - lines[0], c - cols[0]:d - cols[0]] = window
    return out


def merge(ranges):
    return _core.merge_ranges(ranges)


def add(tallies):
    total = _core.LevelTally()
    for t in tallies:
        total.add(t)
    return total
