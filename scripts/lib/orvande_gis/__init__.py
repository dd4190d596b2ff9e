"""The GIS commands of orvande_3d_roughness: dem-import and dem-roughness.

- safe_files: temporaries renamed over their final names as a set, and the signals held
  meanwhile;
- source: a DEM source read with GDAL (band, orientation, units, nodata and mask);
- source_lines: its lines for the roughness passes, decoded once when they fit a budget;
- tool_format: the roughness tool's DEM format (dem-import's conversion);
- roughness_module: finding the roughness passes' Python module, orvande_roughness;
- maps: the GeoTIFF outputs of dem-roughness, written a block of lines at a time;
- dem_import, dem_roughness: the two command lines.
"""

import os

VERSION = "1.0"
# The project's top folder (scripts/lib/orvande_gis/..) or the installation prefix
# (share/orvande_3d_roughness/orvande_gis/..).
PROJECT_OR_PREFIX = os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.dirname(os.path.abspath(__file__)))))
