# Builds the libFuzzer targets with clang, for fuzz/build.sh and fuzz/coverage.sh.
# Source it after scripts/common.sh; it changes nothing by itself.

FUZZ_TARGETS=(png_decode bmp_decode encode png_roundtrip)

# build_fuzz_targets OUT FLAG...: the codec sources and every target compiled with
# FLAG... (sanitizers, or coverage) into OUT. Sets `clang_major`.
build_fuzz_targets() {
    local out=$1
    shift
    # libFuzzer ships in the compiler runtime package of the installed clang's own
    # version (14 on Debian 12, 19 on Debian 13).
    SYSTEM_PACKAGES=(clang pkg-config libdeflate-dev zlib1g-dev)
    ensure_system_packages
    clang_major=$(clang++ -dumpversion | cut -d. -f1)
    SYSTEM_PACKAGES=("libclang-rt-$clang_major-dev")
    ensure_system_packages

    mkdir -p "$out/obj"
    local flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer "$@" -I"$ROOT") libs cflags sources objects=() src obj target
    read -ra libs <<<"$(pkg-config --libs libdeflate zlib)"
    read -ra cflags <<<"$(pkg-config --cflags libdeflate zlib)"
    # The codec sources are those of the 'codecs' library in meson.build, so the two never drift apart;
    # of the inflaters and deflaters meson chooses between, the targets link libdeflate's.
    mapfile -t sources < <(sed -n "/static_library('codecs'/,/^ *[a-z_]*:/p" "$ROOT/meson.build" | grep -o "'[a-z0-9_/]*\.cpp'" |
        tr -d "'" | grep -vx -e png/inflater_zlib.cpp -e png/deflater_zlib.cpp)
    [ ${#sources[@]} -gt 0 ] || { echo "no kernel sources found in meson.build" >&2; return 1; }
    for src in "${sources[@]}"; do
        obj="$out/obj/${src//\//_}.o"
        clang++ "${flags[@]}" "${cflags[@]}" -fsanitize=fuzzer-no-link -c "$ROOT/$src" -o "$obj" || return 1
        objects+=("$obj")
    done
    for target in "${FUZZ_TARGETS[@]}"; do
        clang++ "${flags[@]}" "${cflags[@]}" -fsanitize=fuzzer "$ROOT/fuzz/$target.cpp" "${objects[@]}" "${libs[@]}" \
            -o "$out/$target" || return 1
    done
}
