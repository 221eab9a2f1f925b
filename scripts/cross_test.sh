#!/usr/bin/env bash
# Cross-builds the codecs and their GoogleTests for another architecture with
# Debian's cross compiler and runs them under qemu's user-mode emulation:
# aarch64, or s390x, which is big-endian. The target's zlib, libdeflate and
# GoogleTest are Debian's packages of that architecture, unpacked (not installed)
# under build/cross/ARCH/sysroot; the tests link them statically, so qemu needs
# no libraries of the target. Extra arguments go to the test binary.
#
#   bash scripts/cross_test.sh aarch64
#   bash scripts/cross_test.sh s390x --gtest_filter='Files/Digests.*'
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"

arch=${1:-}
case $arch in
    aarch64) debian_arch=arm64 ;;
    s390x) debian_arch=s390x ;;
    *) echo "usage: $0 aarch64|s390x [TEST ARGUMENTS...]" >&2; exit 2 ;;
esac
shift
triplet=$arch-linux-gnu out=$ROOT/build/cross/$arch
sysroot=$out/sysroot
SYSTEM_PACKAGES=("g++-$triplet" qemu-user-static)
ensure_system_packages

if [ ! -f "$sysroot/.unpacked" ]; then
    log "$arch: fetching the target's zlib, libdeflate and GoogleTest"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    # apt fetches another architecture's packages once dpkg knows the architecture.
    if ! dpkg --print-foreign-architectures | grep -qx "$debian_arch"; then
        $sudo dpkg --add-architecture "$debian_arch"
        $sudo apt-get update -qq
    fi
    rm -rf "$out/debs" "$sysroot" && mkdir -p "$out/debs" "$sysroot"
    packages=(zlib1g-dev zlib1g libdeflate-dev libgtest-dev)
    download() { (cd "$out/debs" && apt-get download -qq "${packages[@]/%/:$debian_arch}" 2>/dev/null); }
    download || { $sudo apt-get update -qq && download; }
    for deb in "$out"/debs/*.deb; do dpkg-deb -x "$deb" "$sysroot"; done
    touch "$sysroot/.unpacked"
fi

# The sources of the 'codecs' library and of the 'kernel_tests' binary in
# meson.build, so that the lists never drift apart; libdeflate inflates, as in
# the wheels.
meson_list() {
    sed -n "/$1/,/^ *[a-z_]*:/p" meson.build | grep -o "'[a-z0-9_/]*\.cpp'" | tr -d "'" | grep -vx -e png/inflater_zlib.cpp -e png/deflater_zlib.cpp
}
mapfile -t sources < <(meson_list "static_library('codecs'"; meson_list "executable('kernel_tests'")
[ ${#sources[@]} -gt 10 ] || { echo "too few sources found in meson.build: ${sources[*]}" >&2; exit 1; }

log "$arch: building ${#sources[@]} sources with $triplet-g++"
rm -rf "$out/obj" && mkdir -p "$out/obj"
export CROSS_CXX="$triplet-g++" CROSS_OUT=$out/obj CROSS_ROOT=$ROOT SYSROOT=$sysroot
printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -I{} bash -c \
    '$CROSS_CXX -std=c++20 -O2 -Wall -Wextra -Werror -I"$CROSS_ROOT" -isystem "$SYSROOT/usr/include" \
        -DVEXTARO_SOURCE_ROOT="\"$CROSS_ROOT\"" -c "$CROSS_ROOT/{}" -o "$CROSS_OUT/$(echo {} | tr / _).o"'
"$triplet-g++" -static -pthread "$out"/obj/*.o -L"$sysroot/usr/lib/$triplet" -lgtest_main -lgtest -ldeflate -lz \
    -o "$out/kernel_tests"

qemu=$(qemu_for "$arch")
log "$arch: running the GoogleTests under $qemu"
start=$SECONDS
"$qemu" "$out/kernel_tests" --gtest_brief=1 "$@"
echo "$arch: tests took $((SECONDS - start)) s under qemu"
