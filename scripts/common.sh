# Shared by the project's scripts: the hosts, their virtual environments and
# their development builds. Source it; it changes nothing by itself.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SYSTEM_PACKAGES=(g++ pkg-config pypy3 pypy3-dev libgtest-dev libdeflate-dev zlib1g-dev)

command -v pyenv >/dev/null || export PATH="${PYENV_ROOT:-$HOME/.pyenv}/bin:$PATH"

log() { printf '\n== %s\n' "$*"; }

# Installs the Debian packages that are missing (CI runs as root on a fresh clone).
ensure_system_packages() {
    local missing=()
    for p in "${SYSTEM_PACKAGES[@]}"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Newest installed pyenv CPython of a minor version, e.g. 3.10 -> .../3.10.13/bin/python
pyenv_python() {
    local version
    version=$(pyenv versions --bare 2>/dev/null | grep -E "^$1\.[0-9]+$" | sort -V | tail -n 1)
    [ -n "$version" ] || { echo "no pyenv CPython $1 found" >&2; return 1; }
    echo "$(pyenv prefix "$version")/bin/python"
}

# Every host as "tag interpreter".
hosts() {
    local minor interpreter
    for minor in 3.10 3.11 3.12 3.13; do
        interpreter=$(pyenv_python "$minor") || return 1
        echo "cp${minor/./} $interpreter"
    done
    echo "pypy3 $(command -v pypy3)"
}

# A virtual environment per host under .venv/, with the tools of requirements-dev.txt.
ensure_venv() {
    local tag=$1 interpreter=$2 venv="$ROOT/.venv/$1"
    if [ ! -x "$venv/bin/python" ]; then
        log "creating $venv"
        "$interpreter" -m venv "$venv"
    fi
    local stamp="$venv/.requirements"
    if ! cmp -s "$ROOT/requirements-dev.txt" "$stamp"; then
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q -r "$ROOT/requirements-dev.txt"
        cp "$ROOT/requirements-dev.txt" "$stamp"
    fi
}

# Builds the module for one host under build/<tag> and puts it in Vextaro/,
# beside the builds for the other hosts.
build_host() {
    local tag=$1 venv="$ROOT/.venv/$1" dir="$ROOT/build/$1"
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        printf "[binaries]\npython = '%s'\n" "$venv/bin/python" > "$ROOT/build/$tag.ini"
        "$venv/bin/meson" setup "$dir" "$ROOT" --native-file "$ROOT/build/$tag.ini" "$@" >/dev/null
    fi
    "$venv/bin/ninja" -C "$dir" >/dev/null
    # A new file, renamed into place: overwriting the old one in place would
    # corrupt it under any process that has it loaded.
    local built
    for built in "$dir"/simpleImage_ext*.so; do
        cp "$built" "$ROOT/Vextaro/.$(basename "$built").new"
        mv -f "$ROOT/Vextaro/.$(basename "$built").new" "$ROOT/Vextaro/$(basename "$built")"
    done
}
