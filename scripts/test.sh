#!/usr/bin/env bash
# Sets up everything that is missing, builds for every host and runs every test:
# the C++ unit tests (also under valgrind), the same pytest suite on each host and
# on an ASan/UBSan build, bounded fuzzing of the kernels and of the module, and a
# packaging check.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

ensure_system_packages || exit 1
mkdir -p build/reports
rm -f build/reports/*.xml

failed=()
times=()
# Runs one step under a name, timing it; a failure is recorded, and the run goes on.
step() {
    local name=$1 start=$SECONDS status
    shift
    log "$name"
    "$@"
    status=$?
    times+=("$(printf '%6ds  %s' $((SECONDS - start)) "$name")")
    [ "$status" -eq 0 ] || failed+=("$name")
    return "$status"
}

host_build() {
    ensure_venv "$1" "$2" && build_host "$1" "${@:3}"
}

# CPython's debug allocators check that every block the module hands back or
# resizes went through the same allocator family (PyPy ignores the setting).
host_pytest() {
    PYTHONMALLOC=debug ".venv/$1/bin/python" -m pytest -q -p no:cacheprovider tests/python \
        --junitxml="build/reports/$1.xml" -o junit_suite_name="$1"
}

mapfile -t HOSTS < <(hosts) || exit 1
for line in "${HOSTS[@]}"; do
    read -r tag interpreter <<<"$line"
    extra=()
    [ "$tag" = cp310 ] && extra=(-Dkernel_tests=enabled)
    step "$tag:build" host_build "$tag" "$interpreter" "${extra[@]}" || continue
    if [ "$tag" = cp310 ]; then
        step "kernel-tests" .venv/cp310/bin/meson test -C build/cp310 --print-errorlogs
        # Every test, the exhaustive ones included (about half a minute under valgrind).
        step "kernel-tests:valgrind" valgrind -q --leak-check=full --error-exitcode=1 \
            build/cp310/kernel_tests --gtest_brief=1
    fi
    step "$tag:pytest" host_pytest "$tag"
done

# The sanitizers write their reports to files, so that none can pass unseen in a
# subprocess's output: any report fails the step.
SANITIZER_LOGS=$ROOT/build/cp310-asan/reports
sanitized() {
    rm -rf "$SANITIZER_LOGS" && mkdir -p "$SANITIZER_LOGS" || return 1
    local vars status
    mapfile -t vars < <(sanitized_env "$SANITIZER_LOGS")
    env "${vars[@]}" "$@"
    status=$?
    if compgen -G "$SANITIZER_LOGS/*" >/dev/null; then
        cat "$SANITIZER_LOGS"/*
        return 1
    fi
    return "$status"
}

# An address-space limit cannot hold under ASan, which reserves terabytes of shadow
# memory at start: the tests that set one run on the other hosts only.
LIMITED=(
    tests/python/test_png_chunks.py::test_huge_declared_length_from_a_file_needs_no_memory
    tests/python/test_png_decoder.py::test_zlib_bomb_is_refused_in_bounded_memory
    tests/python/test_png_decoder.py::test_widest_empty_image_allocates_no_row
    tests/python/test_png_writer.py::test_no_rows_no_row_buffers
    tests/python/test_bmp_decoder.py::test_memory_follows_delivered_data
)
# Output is captured at the Python level only, so that a sanitizer's report, written
# to the process's stderr just before it aborts, reaches the log.
sanitized_pytest() {
    sanitized .venv/cp310/bin/python -m pytest -q -p no:cacheprovider --capture=sys tests/python \
        "${LIMITED[@]/#/--deselect=}" --junitxml=build/reports/cp310-asan.xml -o junit_suite_name=cp310-asan
}

if step "cp310-asan:build" build_sanitized; then
    step "cp310-asan:pytest" sanitized_pytest
    step "cp310-asan:python-fuzz" sanitized .venv/cp310/bin/python fuzz/python_fuzz.py --seed 1 \
        --iterations 300000 --seconds 90
fi
step "fuzz:build" bash fuzz/build.sh && step "fuzz:run" bash fuzz/run.sh 60

for tag in cp310 pypy3; do
    step "$tag:install" bash scripts/check_install.sh "$tag"
done
step "wheel" bash scripts/check_wheel.sh

log "step times"
printf '%s\n' "${times[@]}"
.venv/cp310/bin/python scripts/summarize.py build/reports/*.xml
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all hosts passed"
