#!/usr/bin/env bash
# Counts, per operation, the calls the module makes into PyPy's compatibility
# layer (its C API functions): uprobes on every such function the module imports,
# counted by `perf stat` over a run that does the operation and one that does not.
# Needs root, perf with uprobes, and the PyPy build (scripts/test.sh makes it).
# Usage: bash bench/crossings.sh [image.png]
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PYTHON=$ROOT/.venv/pypy3/bin/python
[ -x "$PYTHON" ] || { echo "missing $PYTHON: run scripts/test.sh once first" >&2; exit 1; }
SO=$(ls "$ROOT"/Vextaro/simpleImage_ext.pypy*.so)
LIB=$(ldd "$PYTHON" | awk '/libpypy/{print $3}')
GROUP=probe_$(basename "$LIB" | sed 's/\..*//; s/[^A-Za-z0-9_]/_/g')
IMAGE=${1:-}
work=$(mktemp -d)
cleanup() { perf probe -q -d "$GROUP:*" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT

comm -12 <(nm -D --defined-only "$LIB" | awk '$2 == "T" {print $3}' | sort) \
         <(nm -D --undefined-only "$SO" | awk '{print $2}' | sort) > "$work/functions"
while read -r f; do perf probe -q -x "$LIB" --add "$f" 2>/dev/null || true; done < "$work/functions"

cat > "$work/op.py" <<'PY'
import contextlib, io, os, sys
from Vextaro.simpleImage_ext import SimpleImage
op, image = sys.argv[1], sys.argv[2]
with contextlib.redirect_stdout(io.StringIO()):
    if image:
        data = open(image, "rb").read()
    else:  # a 512x512 gradient, as a PNG saved by the module itself
        SimpleImage(512, 512, bytes(i % 251 for i in range(512 * 512 * 3))).save(os.path.join(sys.argv[3], "in.png"))
        data = open(os.path.join(sys.argv[3], "in.png"), "rb").read()
    img = SimpleImage.open(data)
    img.getPixel((0, 0)), img.putPixel((0, 0), (1, 2, 3))
    out, w = os.path.join(sys.argv[3], "out"), img.width
    {"none": lambda: None,
     "open PNG from bytes": lambda: SimpleImage.open(data),
     "1000 getPixel": lambda: [img.getPixel((x % w, 0)) for x in range(1000)],
     "1000 putPixel": lambda: [img.putPixel((x % w, 0), (x % 256, 1, 2)) for x in range(1000)],
     "save PNG": lambda: img.save(out + ".png"),
     "saveBmp": lambda: img.saveBmp(out + ".bmp")}[op]()
PY

count() {  # event totals by function, for one run of operation $1
    (PYTHONPATH=$ROOT perf stat -x, -e "$GROUP:*" "$PYTHON" "$work/op.py" "$1" "$IMAGE" "$work" 2>&1 >/dev/null) |
        awk -F, '$3 ~ /:/ {sub(/.*:/, "", $3); print $3, $1}' | sort
}
count none > "$work/none"
printf '| operation | calls into the layer | the most frequent |\n|---|---:|---|\n'
for op in "open PNG from bytes" "1000 getPixel" "1000 putPixel" "save PNG" "saveBmp"; do
    count "$op" | join -a1 - "$work/none" | awk -v op="$op" '
        { d = $2 - ($3 == "" ? 0 : $3); if (d > 0) { total += d; print d, $1 > "/dev/stderr" } }
        END { printf "| %s | %d | ", op, total }' 2> "$work/by"
    sort -rn "$work/by" | head -3 | awk '{printf "%s%s %d", (NR > 1 ? ", " : ""), $2, $1} END {print " |"}'
done
