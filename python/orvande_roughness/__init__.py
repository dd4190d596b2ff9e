"""The roughness core on numpy arrays (the compiled part, _core) and on xarray/Dask arrays.

Everything of _core is here under the same names; maps_dataset() imports xarray and Dask only
when it is called, and orvande_roughness.cluster only when it is imported.
"""
from . import _core
from ._core import (Block, Figures, LevelTally, Maps, PartialRange, centred_range, figures, fold_ranges, maps,
                    merge_ranges, ratio, ratio_figures, stream, stretch_levels)

__doc__ = _core.__doc__
__all__ = ["Block", "Figures", "LevelTally", "Maps", "PartialRange", "centred_range", "figures", "fold_ranges",
           "maps", "maps_dataset", "merge_ranges", "ratio", "ratio_figures", "stream", "stretch_levels"]


def maps_dataset(da, coefficient, unit="m", mask=None, dtype="float32"):
    from .datasets import maps_dataset as run
    return run(da, coefficient, unit=unit, mask=mask, dtype=dtype)


maps_dataset.__doc__ = """maps_dataset(da, coefficient, unit="m", mask=None, dtype="float32") -> xarray.Dataset

The computation of maps() and ratio() on a 2-D xarray.DataArray `da` (or a one-band
(band, y, x) array, as rioxarray opens a raster), chunked with Dask or not. Returns a Dataset
with da's coordinates (and its CRS: rioxarray's spatial_ref is kept) holding `ratio` (of
`dtype`, NaN without a ratio), `centred` and `stretched` (uint8), and the figures as
attributes under the names of maps() (ratio_min, ..., histogram, mapping).

On a Dask array, the figures are computed when the function is called (two Dask reductions
over the blocks, each block with a one-pixel halo; the frame is the whole array's), and the
three maps stay lazy: each block computes them again from its halo. For every chunking the
bytes are those of maps() and ratio() on the whole array. `mask`: None, or a bool DataArray
or array of da's shape, True where valid."""
