#!/usr/bin/env bash
# Installs the project with pip as a user would (isolated build, wheel) into a
# throw-away environment and imports it from outside the source tree.
set -euo pipefail
source "$(dirname "$0")/common.sh"
tag=$1
interpreter=$(hosts | awk -v t="$tag" '$1 == t { print $2 }')
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$interpreter" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q "$ROOT"
# The source tree's version (tests/python checks it against meson's reading of meson.build).
version=$(PYTHONPATH="$ROOT" "$interpreter" -c 'import Vextaro; print(Vextaro.__version__)')
cd "$work"
"$work/venv/bin/python" - "$version" <<'PY'
import sys
from importlib import metadata
import Vextaro
import Vextaro.simpleImage_ext as m
assert "site-packages" in m.__file__, m.__file__
# Installed, the version comes from the wheel's metadata, which meson-python took from meson.build.
assert Vextaro.__version__ == metadata.version("Vextaro") == sys.argv[1], (Vextaro.__version__, sys.argv[1])
image = m.SimpleImage(1, 1, b"\x01\x02\x03")
assert image.getPixel((0, 0)) == (1, 2, 3)
print("installed module works:", m.__file__)
PY
