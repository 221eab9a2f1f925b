#!/usr/bin/env bash
# Runs each fuzz target for SECONDS (default 60) with a fixed seed, one after the
# other, and prints the executions of each. New inputs go to build/fuzz/corpus/,
# never into the committed seeds; a crash leaves its input in build/fuzz/artifacts/
# and fails the run. Extra arguments go to every target (e.g. -jobs=2 -workers=2).
#
#   bash fuzz/run.sh            # the smoke run of scripts/test.sh
#   bash fuzz/run.sh 3600       # an hour per target
set -uo pipefail
source "$(dirname "$0")/../scripts/common.sh"
source "$ROOT/fuzz/targets.sh"
seconds=${1:-60}
shift || true
out="$ROOT/build/fuzz"
mkdir -p "$out/artifacts"

failed=() total=0
for target in "${FUZZ_TARGETS[@]}"; do
    dict=()
    [[ "$target" = png_* ]] && dict=(-dict="$ROOT/fuzz/png.dict")
    mkdir -p "$out/corpus/$target"
    log="$out/$target.log"
    "$out/$target" -seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$target-" "${dict[@]}" "$@" \
        "$out/corpus/$target" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1
    status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    total=$((total + ${runs:-0}))
    echo "$target: ${runs:-?} executions in ${seconds}s, exit $status"
    # A target that is missing or stops at once must not pass as a quiet run.
    [ "${runs:-0}" -gt 0 ] || [ "$status" -ne 0 ] || status=1
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$log"
        failed+=("$target")
    fi
done
echo "fuzzing: $total executions in total"
[ ${#failed[@]} -eq 0 ] || { echo "fuzz targets failed: ${failed[*]}"; exit 1; }
