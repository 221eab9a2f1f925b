#!/usr/bin/env bash
# Full benchmark on CPython 3.10: makes the inputs if missing, then prints the table.
# Results land in build/bench/results/cp310 (results.json, results.md, ratios.png).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash bench/setup.sh || echo "no photographs: the inputs will be synthesised" >&2
PYTHON=.venv/cp310/bin/python
[ -x "$PYTHON" ] || { echo "missing $PYTHON: run scripts/test.sh once first" >&2; exit 1; }
"$PYTHON" bench/bench.py "$@"
