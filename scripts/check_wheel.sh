#!/usr/bin/env bash
# Builds the wheel that `pip install .` builds, on Debian's own CPython and on
# pyenv's CPython 3.10, there also where pkg-config cannot see libdeflate, and
# checks what a user gets: the wheel holds the module, its stub, py.typed and the
# licence and nothing else (no tests, no sources); the installed package imports
# from outside the source tree, works, and type-checks.
set -euo pipefail
source "$(dirname "$0")/common.sh"
# Debian's CPython needs its venv module and headers to build the extension.
SYSTEM_PACKAGES=(g++ pkg-config libdeflate-dev zlib1g-dev python3-venv python3-dev python3-mesonpy meson ninja-build)
ensure_system_packages

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Debian's meson-python and meson build the wheel where they are new enough for
# the project (meson-python 0.18, which writes PEP 639 licence metadata, and meson
# 1.0; Debian 12 ships meson-python 0.12); elsewhere pip
# fetches the build tools, as it does for any user.
debian_build_tools_fit() {
    /usr/bin/python3 - >/dev/null 2>&1 <<'PY'
import importlib.metadata, subprocess
def version(text):
    return tuple(int(part) for part in text.split(".")[:2])
assert version(importlib.metadata.version("meson-python")) >= (0, 18)
meson = subprocess.run(["meson", "--version"], capture_output=True, text=True, check=True)
assert version(meson.stdout) >= (1, 0)
PY
}

# check NAME INTERPRETER [venv options] [-- pip wheel options]
check() {
    local name=$1 interpreter=$2
    shift 2
    local venv_options=() pip_options=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do venv_options+=("$1"); shift; done
    [ $# -gt 0 ] && shift && pip_options=("$@")
    local venv="$work/$name" wheels="$work/$name-wheels"
    log "$name: pip wheel ${pip_options[*]:+${pip_options[*]} }. with $interpreter"
    "$interpreter" -m venv "${venv_options[@]}" "$venv"
    "$venv/bin/python" -m pip wheel -q --no-deps "${pip_options[@]}" -w "$wheels" "$ROOT"
    local wheel
    wheel=$(ls "$wheels"/*.whl)
    echo "$(basename "$wheel"):"
    "$venv/bin/python" "$ROOT/scripts/check_wheel_contents.py" "$wheel"
    "$venv/bin/python" -m pip install -q "$wheel"
    # From outside the source tree, so that only the installed package can be found.
    (cd "$work" && "$venv/bin/python" "$ROOT/scripts/check_installed.py")
    # A type checker finds the stub through py.typed in the installed package.
    if "$ROOT/.venv/cp310/bin/python" -c "import mypy" 2>/dev/null; then
        cat >"$work/uses_it.py" <<'PY'
from Vextaro.simpleImage_ext import SimpleImage

pixel: tuple[int, int, int] = SimpleImage(1, 1, b"abc").getPixel((0, 0))
PY
        (cd "$work" && MYPY_CACHE_DIR="$work/mypy-cache" "$ROOT/.venv/cp310/bin/python" -m mypy --strict \
            --python-executable "$venv/bin/python" uses_it.py)
    fi
}

if debian_build_tools_fit; then
    check debian-cpython /usr/bin/python3 --system-site-packages -- --no-build-isolation
else
    check debian-cpython /usr/bin/python3 --system-site-packages
fi
check cpython3.10 "$(pyenv_python 3.10)"
# Where pkg-config cannot see libdeflate, pip builds the module on zlib alone.
PKG_CONFIG_LIBDIR="$work/nothing" check cpython3.10-without-libdeflate "$(pyenv_python 3.10)"
module=$(ls "$work"/cpython3.10-without-libdeflate/lib/python3.10/site-packages/Vextaro/simpleImage_ext*.so)
if ldd "$module" | grep libdeflate; then echo "the module built without libdeflate links it"; exit 1; fi
echo "wheels checked"
