#!/usr/bin/env bash
# Line and branch coverage that the libFuzzer targets reach over the codecs in png/
# and bmp/. Builds the targets with clang's source-based coverage (no sanitizers)
# into build/fuzz-coverage/, fuzzes each for SECONDS (default 60) with -seed=1 from
# the committed seeds into a fresh scratch corpus, replays scratch + seeds with
# -runs=0 to collect the profile, and prints llvm-cov's report. Extra arguments go
# to the fuzzing runs (e.g. -max_len=200000). With --portable first, the codecs are
# built as -Dsimd=disabled builds them (the code other architectures run), into
# build/fuzz-coverage-portable/.
#
#   bash fuzz/coverage.sh           # 60 s per target
#   bash fuzz/coverage.sh 600
#   bash fuzz/coverage.sh --portable 60
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
source "$ROOT/fuzz/targets.sh"
out="$ROOT/build/fuzz-coverage" simd=()
if [ "${1:-}" = --portable ]; then
    out+=-portable simd=(-DVEXTARO_SIMD=0)
    shift
fi
seconds=${1:-60}
shift || true
# libFuzzer takes -max_total_time=0 as no limit at all.
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "SECONDS must be a positive number, not '$seconds'" >&2; exit 2; }

rm -rf "$out"
build_fuzz_targets "$out" -fprofile-instr-generate -fcoverage-mapping "${simd[@]}"
# The profile tools must be those of clang's own major version (14 on Debian 12,
# 19 on Debian 13): the raw profile format changes between versions.
SYSTEM_PACKAGES=("llvm-$clang_major")
ensure_system_packages
profdata=llvm-profdata-$clang_major cov=llvm-cov-$clang_major
mkdir -p "$out/profiles" "$out/artifacts"

failed=()
for target in "${FUZZ_TARGETS[@]}"; do
    dict=()
    [[ "$target" = png_* ]] && dict=(-dict="$ROOT/fuzz/png.dict")
    # libFuzzer writes new inputs into the first directory: the scratch one, never fuzz/corpus/.
    scratch="$out/corpus/$target"
    mkdir -p "$scratch"
    log="$out/$target.log"
    status=0
    # The profile of the fuzzing run itself is thrown away; the replay below makes the one counted.
    LLVM_PROFILE_FILE="$out/fuzzing.profraw" "$out/$target" -seed=1 -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" "${dict[@]}" "$@" \
        "$scratch" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    rm -f "$out/fuzzing.profraw"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "$target: ${runs:-?} executions in ${seconds}s, $(find "$scratch" -type f | wc -l) new inputs, exit $status"
    # A target that stops at once must not pass for a measured one.
    if [ "$status" -ne 0 ] || [ "${runs:-0}" -eq 0 ]; then
        tail -n 20 "$log"
        failed+=("$target")
    fi
    LLVM_PROFILE_FILE="$out/profiles/$target.profraw" "$out/$target" -runs=0 -rss_limit_mb=2048 \
        "$scratch" "$ROOT/fuzz/corpus/$target" >"$out/$target.replay.log" 2>&1 ||
        { tail -n 20 "$out/$target.replay.log"; failed+=("$target (replay)"); }
done

profiles=("$out"/profiles/*.profraw)
[ ${#profiles[@]} -eq ${#FUZZ_TARGETS[@]} ] || { echo "expected ${#FUZZ_TARGETS[@]} profiles, found ${#profiles[@]}" >&2; exit 1; }
"$profdata" merge -sparse "${profiles[@]}" -o "$out/merged.profdata"
objects=()
for target in "${FUZZ_TARGETS[@]}"; do objects+=(-object "$out/$target"); done
objects=("${objects[@]:1}")
"$cov" report "${objects[@]}" -instr-profile="$out/merged.profdata" "$ROOT/png" "$ROOT/bmp"
# What the decoder's target and the round trip each reach of png/ on their own.
for target in png_decode png_roundtrip; do
    echo "png/ reached by $target alone:"
    "$profdata" merge -sparse "$out/profiles/$target.profraw" -o "$out/$target.profdata"
    "$cov" report "$out/$target" -instr-profile="$out/$target.profdata" "$ROOT/png" | tail -n 1
done
# Line by line, for finding what was not reached.
"$cov" show "${objects[@]}" -instr-profile="$out/merged.profdata" -show-branches=count "$ROOT/png" "$ROOT/bmp" \
    >"$out/coverage.txt"
echo "line-by-line counts in $out/coverage.txt (clang $clang_major, ${seconds}s per target)"
[ ${#failed[@]} -eq 0 ] || { echo "fuzz targets failed: ${failed[*]}"; exit 1; }
