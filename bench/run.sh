#!/usr/bin/env bash
# The benchmark on CPython 3.10 and on PyPy, one host after the other: makes the inputs
# if missing, brings each host's venv up to requirements-dev.txt, prints each host's
# table, then draws both hosts side by side in one chart.
#
#   bash bench/run.sh [--quick] [--hosts cp310,pypy3] [bench.py options such as --cache DIR]
#
# Each host's results.json, results.md and ratios.png land in build/bench/results/<host>,
# the chart of all of them and their tables in build/bench/results/ratios.png and
# results.md (build/bench/results/quick/... for --quick).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
source scripts/common.sh

HOSTS=(cp310 pypy3)
OUT=build/bench/results
args=()
while [ $# -gt 0 ]; do
    case $1 in
        --hosts) IFS=, read -r -a HOSTS <<< "$2"; shift 2 ;;
        --hosts=*) IFS=, read -r -a HOSTS <<< "${1#--hosts=}"; shift ;;
        --quick) OUT=build/bench/results/quick; args+=("$1"); shift ;;
        --out|--out=*|--combine|--combine=*) echo "run.sh chooses the output folders itself ($OUT/<host>)" >&2; exit 2 ;;
        *) args+=("$1"); shift ;;
    esac
done
[ ${#HOSTS[@]} -gt 0 ] || { echo "--hosts names no host" >&2; exit 2; }
for tag in "${HOSTS[@]}"; do
    [ -x ".venv/$tag/bin/python" ] || { echo "missing .venv/$tag: run scripts/test.sh once first" >&2; exit 1; }
done

for tag in "${HOSTS[@]}"; do
    # Only an existing venv is brought up to date, so its interpreter serves to name it.
    ensure_venv "$tag" ".venv/$tag/bin/python"
done
bash bench/setup.sh || echo "no photographs: the inputs will be synthesised" >&2

results=()
for tag in "${HOSTS[@]}"; do
    log "$tag"
    ".venv/$tag/bin/python" bench/bench.py ${args[@]+"${args[@]}"} --out "$OUT/$tag"
    results+=("$OUT/$tag/results.json")
done

# The chart needs matplotlib, which only the CPython venvs have.
CHART=.venv/cp310/bin/python
[ -x "$CHART" ] || { echo "no .venv/cp310 to draw the chart with" >&2; exit 1; }
log "chart of ${HOSTS[*]}"
"$CHART" bench/bench.py --combine "${results[@]}" --out "$OUT"
