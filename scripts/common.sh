# Shared by the project's scripts: the hosts, their virtual environments and
# their development builds. Source it; it changes nothing by itself.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The Debian packages of scripts/test.sh, by the steps that need them: a run installs
# those of the steps it runs. The scripts it calls (fuzz/, cross_test.sh, the wheel
# scripts) install their own. PACKAGE:COMMAND is present when COMMAND is, wherever
# it came from.
BUILD_PACKAGES=(g++ pkg-config libgtest-dev libdeflate-dev zlib1g-dev)  # every build and the C++ unit tests
PYPY_PACKAGES=(pypy3:pypy3 pypy3-dev)                                   # the PyPy host
FULL_PACKAGES=(valgrind:valgrind qemu-user-static)                      # the kernel tests under valgrind and qemu
SYSTEM_PACKAGES=("${BUILD_PACKAGES[@]}" "${PYPY_PACKAGES[@]}" "${FULL_PACKAGES[@]}")

command -v pyenv >/dev/null || export PATH="${PYENV_ROOT:-$HOME/.pyenv}/bin:$PATH"

log() { printf '\n== %s\n' "$*"; }

# Installs those of the Debian packages given (SYSTEM_PACKAGES when none are) that are
# missing (CI runs as root on a fresh clone).
ensure_system_packages() {
    local missing=() entry p
    [ $# -gt 0 ] || set -- "${SYSTEM_PACKAGES[@]}"
    for entry in "$@"; do
        p=${entry%%:*}
        [[ "$entry" == *:* ]] && command -v "${entry#*:}" >/dev/null && continue
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# qemu's user-mode emulator of ARCH: Debian 12 names its static build qemu-ARCH-static;
# from Debian 13 on, qemu-user-static is a transitional package and qemu-ARCH is static.
qemu_for() {
    command -v "qemu-$1-static" || command -v "qemu-$1" || { echo "no qemu for $1" >&2; return 1; }
}

# Newest installed pyenv CPython of a minor version, e.g. 3.10 -> .../3.10.13/bin/python
pyenv_python() {
    local version
    version=$(pyenv versions --bare 2>/dev/null | grep -E "^$1\.[0-9]+$" | sort -V | tail -n 1)
    [ -n "$version" ] || { echo "no pyenv CPython $1 found" >&2; return 1; }
    echo "$(pyenv prefix "$version")/bin/python"
}

HOST_TAGS=(cp310 cp311 cp312 cp313 pypy3)

# The hosts of the comma-separated tags in $1 (every host when empty) as
# "tag interpreter"; only the hosts asked for need to exist.
hosts() {
    local tag interpreter
    for tag in "${HOST_TAGS[@]}"; do
        [ -z "${1:-}" ] || [[ ",$1," == *",$tag,"* ]] || continue
        if [ "$tag" = pypy3 ]; then
            interpreter=$(command -v pypy3) || { echo "no pypy3 found" >&2; return 1; }
        else
            interpreter=$(pyenv_python "3.${tag#cp3}") || return 1
        fi
        echo "$tag $interpreter"
    done
}

# A virtual environment per host under .venv/, with the tools of requirements-dev.txt
# or of the requirements file given third.
ensure_venv() {
    local tag=$1 interpreter=$2 requirements=${3:-$ROOT/requirements-dev.txt} venv="$ROOT/.venv/$1"
    if [ ! -x "$venv/bin/python" ]; then
        log "creating $venv"
        "$interpreter" -m venv "$venv"
    fi
    local stamp="$venv/.requirements"
    if ! cmp -s "$requirements" "$stamp"; then
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q -r "$requirements"
        cp "$requirements" "$stamp"
    fi
}

# Configures DIR for the host TAG with meson OPTIONS and builds it. A folder set up
# with other options is reconfigured, and one whose set-up never finished is set
# up anew: a step never runs on a build it did not ask for. Options a step does not
# name keep what an earlier step set.
meson_build() {
    local dir=$1 tag=$2 venv="$ROOT/.venv/$2"
    shift 2
    local asked="$dir/.vextaro-options" native="$ROOT/build/$tag.ini"
    mkdir -p "$ROOT/build" || return 1
    # Rewritten only when it changes: meson regenerates a build whose native file is newer.
    local binaries
    binaries=$(printf "[binaries]\npython = '%s'" "$venv/bin/python")
    [ "$(cat "$native" 2>/dev/null)" = "$binaries" ] || echo "$binaries" > "$native" || return 1
    if [ ! -f "$dir/build.ninja" ]; then
        rm -rf "$dir"
        quiet "$venv/bin/meson" setup "$dir" "$ROOT" --native-file "$native" "$@" || return 1
    elif [ "$(cat "$asked" 2>/dev/null)" != "$*" ]; then
        log "reconfiguring $dir for: ${*:-its defaults}"
        quiet "$venv/bin/meson" setup --reconfigure "$dir" "$ROOT" --native-file "$native" "$@" || return 1
    fi
    printf '%s' "$*" > "$asked" || return 1
    quiet "$venv/bin/ninja" -C "$dir"
}

# Runs a command silently, showing its output only when it fails.
quiet() {
    local output
    output=$("$@" 2>&1) && return 0
    printf '%s\n' "$output" >&2
    return 1
}

# Builds the module for one host under build/<tag> and puts it in Vextaro/,
# beside the builds for the other hosts.
build_host() {
    local tag=$1 dir="$ROOT/build/$1"
    shift
    meson_build "$dir" "$tag" "$@" || return 1
    # A new file, renamed into place: overwriting the old one in place would
    # corrupt it under any process that has it loaded.
    local built
    for built in "$dir"/simpleImage_ext*.so; do
        cp "$built" "$ROOT/Vextaro/.$(basename "$built").new" &&
            mv -f "$ROOT/Vextaro/.$(basename "$built").new" "$ROOT/Vextaro/$(basename "$built")" || return 1
    done
}

# The module for CPython 3.10 with AddressSanitizer and UBSan under build/cp310-asan,
# staged (stage_build), which sanitized_env makes every host process import.
build_sanitized() {
    meson_build "$ROOT/build/cp310-asan" cp310 --buildtype=debugoptimized -Db_ndebug=false \
        -Db_sanitize=address,undefined -Db_lundef=false \
        "-Dcpp_args=-fno-sanitize-recover=undefined -fno-omit-frame-pointer" && stage_build "$ROOT/build/cp310-asan"
}

# Stages the CPython 3.10 module built in DIR as a package of its own in DIR/stage:
# a build with other options never goes into Vextaro/. A process of CPython 3.10's
# environment started with VEXTARO_STAGE=DIR/stage imports it.
stage_build() {
    local venv="$ROOT/.venv/cp310" dir=$1
    rm -rf "$dir/stage" && mkdir -p "$dir/stage/Vextaro" || return 1
    # meson.build beside the package, as in the tree, for the package's version.
    find "$ROOT/Vextaro" -maxdepth 1 -type f ! -name '*.so' -exec cp {} "$dir/stage/Vextaro/" \; &&
        cp "$dir"/simpleImage_ext*.so "$dir/stage/Vextaro/" && cp "$ROOT/meson.build" "$dir/stage/" || return 1
    # A .pth line runs at every start of the venv's interpreter, before the script's
    # own directory or cwd can shadow the package: with VEXTARO_STAGE set it binds
    # "Vextaro" to the staged copy (subprocesses of the tests included).
    local site
    site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])') || return 1
    echo 'import os, sys; s = os.environ.get("VEXTARO_STAGE"); s and (sys.path.insert(0, s), __import__("Vextaro"), sys.path.remove(s))' \
        > "$site/vextaro_stage.pth"
}

# The environment of a host process running the staged sanitizer build: the ASan
# runtime preloaded (the interpreter is not built with it), with the C++ runtime
# beside it so that ASan finds what it wraps to throw C++ exceptions (other
# extensions the tests load throw them too), every report fatal and ASan's
# written under $1 so that none can go unnoticed, leaks not reported (the host keeps
# objects alive until exit by design), and failed allocations returned as NULL as
# the C library does, so that they become MemoryError. UBSan (gcc's) ignores
# log_path and reports on stderr: it aborts, so that no exit status hides it.
# Python objects come from malloc too: in the host's own arenas a use after free
# of an object would pass unseen.
sanitized_env() {
    local logs=$1
    echo "VEXTARO_STAGE=$ROOT/build/cp310-asan/stage"
    echo "VEXTARO_SANITIZED=1"
    echo "PYTHONMALLOC=malloc"
    echo "LD_PRELOAD=$(gcc -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
    echo "ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:log_path=$logs/asan"
    echo "UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1"
}
