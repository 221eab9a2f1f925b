#!/usr/bin/env bash
# Installs the pictures the benchmarks' inputs are made from: a Debian package of
# desktop backgrounds (about 46 MB installed) and one of icons. Without the
# backgrounds bench.py synthesises photo-like inputs instead; png_filters.py needs both.
# Then builds Pillow from source into .venv/pypy3, where it is missing: PyPI has no
# Pillow wheel for every PyPy. A failed build is reported and leaves PyPy's
# benchmarks to run without Pillow; only missing pictures fail the script.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
updated=""

# Installs the Debian packages given that are missing.
apt_install() {
    local missing=() p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ -z "$updated" ]; then
        $sudo apt-get update -qq || return 1
        updated=yes
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

pictures=0
apt_install mate-backgrounds adwaita-icon-theme || pictures=1

PYPY="$ROOT/.venv/pypy3/bin/python"
if [ -x "$PYPY" ] && ! "$PYPY" -c 'import PIL' 2>/dev/null; then
    log="$ROOT/build/bench/pillow-pypy-build.log"
    mkdir -p "$(dirname "$log")"
    echo "building Pillow from source for PyPy (about a minute; log in $log)" >&2
    start=$(date +%s)
    if apt_install libjpeg-dev zlib1g-dev >"$log" 2>&1 &&
        "$PYPY" -m pip install --no-binary Pillow Pillow >>"$log" 2>&1 &&
        "$PYPY" -c 'from PIL import Image' >>"$log" 2>&1; then
        echo "Pillow $("$PYPY" -c 'import PIL; print(PIL.__version__)') built for PyPy in $(($(date +%s) - start)) s" >&2
    else
        echo "Pillow did not build for PyPy (see $log): PyPy's benchmarks run without it" >&2
    fi
fi
exit $pictures
