# Sourced by the scripts: need_packages PKG... installs the Debian packages that are missing.
need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing Debian packages: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq >&2 || true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# gdal_python prints a python3 that has GDAL's bindings and numpy: Debian's
# /usr/bin/python3 first (python3-gdal installs them there, and the roughness module is
# built for it), else the one on PATH; status 1 when none does. The packages are found, not
# imported (importing them takes a fifth of a second, which every command would pay twice).
gdal_python() {
  local py d=/usr/lib/python3/dist-packages
  if [ -x /usr/bin/python3 ] && [ -f $d/osgeo/__init__.py ] && [ -f $d/numpy/__init__.py ]; then
    echo /usr/bin/python3 # Debian's packages, where Debian puts them: no python3 to start
    return 0
  fi
  for py in /usr/bin/python3 python3; do
    if command -v "$py" >/dev/null && "$py" -c 'from importlib.util import find_spec as f
import sys; sys.exit(not (f("numpy") and f("osgeo")))' 2>/dev/null; then
      command -v "$py"
      return 0
    fi
  done
  return 1
}
