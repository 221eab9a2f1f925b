#!/usr/bin/env bash
# Sets up everything that is missing, builds for every host and runs every test:
# the C++ unit tests, the same pytest suite on each host, and a packaging check.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

ensure_system_packages || exit 1
mkdir -p build/reports
rm -f build/reports/*.xml

failed=()
mapfile -t HOSTS < <(hosts) || exit 1
for line in "${HOSTS[@]}"; do
    read -r tag interpreter <<<"$line"
    log "$tag: build ($interpreter)"
    extra=()
    [ "$tag" = cp310 ] && extra=(-Dkernel_tests=enabled)
    if ! { ensure_venv "$tag" "$interpreter" && build_host "$tag" "${extra[@]}"; }; then
        failed+=("$tag:build")
        continue
    fi
    if [ "$tag" = cp310 ]; then
        log "C++ unit tests"
        .venv/cp310/bin/meson test -C build/cp310 --print-errorlogs || failed+=("kernel-tests")
    fi
    log "$tag: pytest"
    ".venv/$tag/bin/python" -m pytest -q -p no:cacheprovider tests/python \
        --junitxml="build/reports/$tag.xml" -o junit_suite_name="$tag" || failed+=("$tag:pytest")
done

for tag in cp310 pypy3; do
    log "$tag: pip install . into a fresh environment"
    bash scripts/check_install.sh "$tag" || failed+=("$tag:install")
done

.venv/cp310/bin/python scripts/summarize.py build/reports/*.xml
if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "all hosts passed"
