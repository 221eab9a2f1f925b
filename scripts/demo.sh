#!/usr/bin/env bash
# Builds the module for one CPython 3.10 or newer (pyenv's oldest of them if
# pyenv has one, else the first suitable python3 on PATH), writes two sample images with
# Pillow and runs the demonstration on them. It installs only what that needs:
# a compiler, the development files, and meson, ninja and Pillow in .venv/demo.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

suitable() { "$1" -c 'import sys; sys.exit(sys.implementation.name != "cpython" or sys.version_info < (3, 10))' 2>/dev/null; }

demo_python() {
    local minor candidate
    for minor in 3.10 3.11 3.12 3.13; do
        pyenv_python "$minor" 2>/dev/null && return 0
    done
    while read -r candidate; do
        suitable "$candidate" && { echo "$candidate"; return 0; }
    done < <(type -ap python3)
    echo "no CPython 3.10 or newer found: install one (Debian: apt-get install python3 python3-venv python3-dev)" >&2
    return 1
}

interpreter=$(demo_python)
SYSTEM_PACKAGES=(g++ pkg-config zlib1g-dev libdeflate-dev)
# Debian's own Python comes without its headers and venv.
[[ "$(readlink -f "$interpreter")" == /usr/bin/* ]] && SYSTEM_PACKAGES+=(python3-dev python3-venv)
ensure_system_packages
log "demonstration with $interpreter"
ensure_venv demo "$interpreter" "$ROOT/scripts/demo-requirements.txt"
build_host demo
.venv/demo/bin/python examples/make_samples.py build/samples
PYTHONPATH="$ROOT" .venv/demo/bin/python examples/demo.py build/samples
