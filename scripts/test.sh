#!/usr/bin/env bash
# Sets up everything that is missing, builds and runs the tests.
#
#   bash scripts/test.sh                      # everything: every host, the C++ unit tests (also
#                                             # under valgrind), pytest on each host and on an
#                                             # ASan/UBSan build, bounded fuzzing, the portable and
#                                             # SSE2-only builds, aarch64 and s390x under qemu,
#                                             # packaging checks, the linters
#   bash scripts/test.sh --quick              # CPython 3.10 and PyPy: the linters, C++ unit tests, pytest
#   bash scripts/test.sh --hosts cp310,pypy3  # pick the hosts (tags: cp310 cp311 cp312 cp313 pypy3)
#
# A step that fails, or that ran no test, fails the run; the others still run.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

usage() { sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 2; }
quick=false
wanted=""
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=true ;;
        --hosts) [ $# -ge 2 ] || usage; wanted=$2; shift ;;
        --hosts=*) wanted=${1#--hosts=} ;;
        *) usage ;;
    esac
    shift
done
$quick && [ -z "$wanted" ] && wanted=cp310,pypy3

# What every build needs; the steps that need more install it as they run.
packages=("${BUILD_PACKAGES[@]}")
[ -z "$wanted" ] || [[ ",$wanted," == *",pypy3,"* ]] && packages+=("${PYPY_PACKAGES[@]}")
ensure_system_packages "${packages[@]}" || exit 1
mkdir -p build/reports
rm -f build/reports/*.xml

for tag in ${wanted//,/ }; do
    [[ " ${HOST_TAGS[*]} " == *" $tag "* ]] || { echo "unknown host: $tag (known: ${HOST_TAGS[*]})" >&2; exit 2; }
done
chosen=$(hosts "$wanted") || exit 1
mapfile -t HOSTS <<<"$chosen"
[ -n "$chosen" ] || { echo "no hosts chosen" >&2; exit 2; }
# Plain standard library: reads the test reports on the first host chosen.
read -r _ SUMMARY_PYTHON <<<"${HOSTS[0]}"
summarize() { "$SUMMARY_PYTHON" scripts/summarize.py "$@"; }
# The checks beyond the hosts' own (mypy, the sanitizer and variant builds, the
# wheels) run in CPython 3.10's environment, when it is among them.
has_cp310=false
[[ "$chosen" == *"cp310 "* ]] && has_cp310=true

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

# with_packages PACKAGE... -- COMMAND...: a step's own Debian packages, then the step.
with_packages() {
    local packages=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do packages+=("$1"); shift; done
    shift
    ensure_system_packages "${packages[@]}" && "$@"
}
# qemu's x86-64 emulator, looked up when the step runs, once its package is there.
qemu_x86_64() {
    local qemu
    qemu=$(qemu_for x86_64) && "$qemu" "$@"
}

# ruff over every Python file (pyproject.toml says which rules), from CPython 3.10's
# environment, where requirements-dev.txt puts it.
lint_ruff() {
    ensure_venv cp310 "$(pyenv_python 3.10)" && .venv/cp310/bin/ruff check --no-cache .
}
# Every C++ file as .clang-format writes it, by the release requirements-dev.txt pins in
# CPython 3.10's environment; lists the files that are not.
lint_clang_format() {
    ensure_venv cp310 "$(pyenv_python 3.10)" || return 1
    local files output
    mapfile -t files < <(find png bmp simd binding core tests/cpp fuzz bench -name '*.cpp' -o -name '*.hpp' | sort)
    [ ${#files[@]} -gt 0 ] || { echo "no C++ files found"; return 1; }
    output=$(.venv/cp310/bin/clang-format --dry-run --Werror "${files[@]}" 2>&1) && return 0
    printf '%s\n' "$output" | head -n 12
    echo "places not formatted, per file (.venv/cp310/bin/clang-format -i FILE... rewrites them):"
    printf '%s\n' "$output" | grep -o '^[^:]*\.[ch]pp:[0-9]*:[0-9]*: error' | cut -d: -f1 | uniq -c
    return 1
}
$has_cp310 && step "lint:ruff" lint_ruff
$has_cp310 && step "lint:clang-format" lint_clang_format

host_build() {
    ensure_venv "$1" "$2" && build_host "$1" "${@:3}"
}

# Runs the GoogleTest binary of DIR, optionally under a wrapper (valgrind); its
# report must show tests that ran.
kernel_tests() {
    local dir=$1 report=$2
    shift 2
    [ -x "$dir/kernel_tests" ] || { echo "no kernel test binary in $dir"; return 1; }
    "$@" "$dir/kernel_tests" --gtest_brief=1 --gtest_output="xml:$report" && summarize --require-tests "$report"
}

# CPython's debug allocators check that every block the module hands back or
# resizes went through the same allocator family (PyPy ignores the setting).
host_pytest() {
    PYTHONMALLOC=debug ".venv/$1/bin/python" -m pytest -q -p no:cacheprovider tests/python \
        --junitxml="build/reports/$1.xml" -o junit_suite_name="$1" &&
        summarize --require-tests "build/reports/$1.xml"
}

first=true
for line in "${HOSTS[@]}"; do
    read -r tag interpreter <<<"$line"
    # The C++ unit tests need no Python: they are built with the first host.
    extra=()
    $first && extra=(-Dkernel_tests=enabled)
    step "$tag:build" host_build "$tag" "$interpreter" "${extra[@]}" || { first=false; continue; }
    if $first; then
        step "kernel-tests" kernel_tests "build/$tag" build/reports/kernels.xml
        # Every test, the exhaustive ones included (about half a minute under valgrind).
        $quick || step "kernel-tests:valgrind" with_packages valgrind:valgrind -- kernel_tests "build/$tag" \
            build/reports/kernels-valgrind.xml valgrind -q --leak-check=full --error-exitcode=1
        # The same binary on an emulated CPU without SSSE3 and SSE4.1, whose run-time
        # choice falls back to the SSE2 and portable kernels (about 10 s).
        $quick || step "kernel-tests:qemu64" with_packages qemu-user-static -- kernel_tests "build/$tag" \
            build/reports/kernels-qemu64.xml qemu_x86_64 -cpu qemu64
        # And on one with SSE4.1 but not AVX2, whose Paeth row groups are SSE4.1's.
        $quick || step "kernel-tests:nehalem" with_packages qemu-user-static -- kernel_tests "build/$tag" \
            build/reports/kernels-nehalem.xml qemu_x86_64 -cpu Nehalem
    fi
    first=false
    step "$tag:pytest" host_pytest "$tag"
    # Hostile callers on every host's plain build, and under an address-space limit,
    # where any allocation may fail (PyPy runs the pixel methods in Python).
    if ! $quick; then
        step "$tag:caller-fuzz" ".venv/$tag/bin/python" fuzz/caller_fuzz.py --seed 2 --iterations 300000 --seconds 20
        case $tag in cp310 | pypy3)
            step "$tag:caller-fuzz:address-space" ".venv/$tag/bin/python" fuzz/caller_fuzz.py --seed 3 \
                --iterations 300000 --seconds 20 --address-space 256 ;;
        esac
    fi
done

# Every ```python block of the README on its own, as a reader copies it, and every
# example: mypy --strict against the stub (mypy is in CPython 3.10's environment).
typecheck_docs() {
    ensure_venv cp310 "$(pyenv_python 3.10)" && .venv/cp310/bin/python scripts/typecheck_docs.py
}
$has_cp310 && step "docs:mypy" typecheck_docs

if ! $quick && $has_cp310; then
    # The sanitizer build and the checks after it use CPython 3.10's environment.
    step "cp310:venv" ensure_venv cp310 "$(pyenv_python 3.10)"

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
    # Output is captured at the Python level only, so that a sanitizer's report, written
    # to the process's stderr just before it aborts, reaches the log.
    sanitized_pytest() {
        sanitized .venv/cp310/bin/python -m pytest -q -p no:cacheprovider --capture=sys tests/python \
            --junitxml=build/reports/cp310-asan.xml -o junit_suite_name=cp310-asan &&
            summarize --require-tests build/reports/cp310-asan.xml
    }

    if step "cp310-asan:build" build_sanitized; then
        step "cp310-asan:pytest" sanitized_pytest
        step "cp310-asan:python-fuzz" sanitized .venv/cp310/bin/python fuzz/python_fuzz.py --seed 1 \
            --iterations 300000 --seconds 90
        step "cp310-asan:caller-fuzz" sanitized .venv/cp310/bin/python fuzz/caller_fuzz.py --seed 1 \
            --iterations 300000 --seconds 90
    fi
    step "fuzz:build" bash fuzz/build.sh && step "fuzz:run" bash fuzz/run.sh 60

    # The kernel paths this CPU never takes, on CPython 3.10, staged beside the
    # host build: the portable ones without libdeflate (what other architectures
    # run, with nothing optional), and SSE2 alone (a CPU without SSSE3 and SSE4.1).
    variant_build() { meson_build "build/$1" cp310 -Dkernel_tests=enabled "${@:2}" && stage_build "build/$1"; }
    variant_pytest() {
        VEXTARO_STAGE="$ROOT/build/$1/stage" PYTHONMALLOC=debug .venv/cp310/bin/python -m pytest -q \
            -p no:cacheprovider tests/python --junitxml="build/reports/$1.xml" -o junit_suite_name="$1" &&
            summarize --require-tests "build/reports/$1.xml"
    }
    for variant in "cp310-portable -Dsimd=disabled -Dlibdeflate=disabled" "cp310-sse2 -Dsimd=sse2"; do
        read -r name options <<<"$variant"
        if step "$name:build" variant_build "$name" $options; then
            step "$name:kernel-tests" kernel_tests "build/$name" "build/reports/$name-kernels.xml"
            step "$name:pytest" variant_pytest "$name"
        fi
    done
    # Another architecture and a big-endian one, emulated: the codecs' GoogleTests.
    cross_tests() { bash scripts/cross_test.sh "$1" --gtest_output="xml:build/reports/$1.xml" &&
        summarize --require-tests "build/reports/$1.xml"; }
    step "cross:aarch64" cross_tests aarch64
    step "cross:s390x" cross_tests s390x

    wheel_hosts=()
    for line in "${HOSTS[@]}"; do
        read -r tag interpreter <<<"$line"
        [ "$tag" = cp310 ] || [ "$tag" = pypy3 ] && wheel_hosts+=("$tag")
    done
    step "wheel:from-tree" bash scripts/check_wheel.sh
    # Installed as users install it, from outside the tree: the wheels that need no
    # compiler, built by pip from the tree, and the sdist, on CPython 3.10 and PyPy
    # (about half a minute each; scripts/build_wheels.sh alone does every host).
    if [ ${#wheel_hosts[@]} -gt 0 ]; then
        hosts_list=$(IFS=,; echo "${wheel_hosts[*]}")
        step "prebuilt-wheels" bash scripts/build_wheels.sh --hosts "$hosts_list" --out build/wheels
    fi
fi

log "step times"
printf '%s\n' "${times[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
else
    echo "all steps passed"
fi
shopt -s nullglob
reports=(build/reports/*.xml)
[ ${#reports[@]} -eq 0 ] || summarize "${reports[@]}"
[ ${#failed[@]} -eq 0 ]
