#!/usr/bin/env bash
# Builds the libFuzzer targets, with AddressSanitizer and UBSan, into build/fuzz/.
# The plain C++ kernels are compiled in directly: no Python is involved.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

# libFuzzer ships in the compiler runtime package of the installed clang's own
# version (14 on Debian 12, 19 on Debian 13).
SYSTEM_PACKAGES=(clang pkg-config libdeflate-dev zlib1g-dev)
ensure_system_packages
major=$(clang++ -dumpversion | cut -d. -f1)
SYSTEM_PACKAGES=("libclang-rt-$major-dev")
ensure_system_packages

out="$ROOT/build/fuzz"
mkdir -p "$out/obj"
sanitize=(-fsanitize=address,undefined -fno-sanitize-recover=undefined)
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer "${sanitize[@]}" -I"$ROOT")
read -ra libs <<<"$(pkg-config --libs libdeflate zlib)"
read -ra cflags <<<"$(pkg-config --cflags libdeflate zlib)"

# The kernel sources are those of the 'kernels' library in meson.build, so the two never drift apart.
mapfile -t sources < <(sed -n "/static_library('kernels'/,/)/p" "$ROOT/meson.build" | grep -o "'[a-z0-9_/]*\.cpp'" | tr -d "'")
[ ${#sources[@]} -gt 0 ] || { echo "no kernel sources found in meson.build" >&2; exit 1; }
objects=()
for src in "${sources[@]}"; do
    obj="$out/obj/${src//\//_}.o"
    clang++ "${flags[@]}" "${cflags[@]}" -fsanitize=fuzzer-no-link -c "$ROOT/$src" -o "$obj"
    objects+=("$obj")
done
for target in png_decode bmp_decode encode; do
    clang++ "${flags[@]}" "${cflags[@]}" -fsanitize=fuzzer "$ROOT/fuzz/$target.cpp" "${objects[@]}" "${libs[@]}" \
        -o "$out/$target"
done
echo "fuzz targets in $out: png_decode bmp_decode encode (clang $major)"
