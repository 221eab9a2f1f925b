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
cd "$work"
"$work/venv/bin/python" - <<'PY'
import Vextaro.simpleImage_ext as m
assert "site-packages" in m.__file__, m.__file__
image = m.SimpleImage(1, 1, b"\x01\x02\x03")
assert image.getPixel((0, 0)) == (1, 2, 3)
print("installed module works:", m.__file__)
PY
