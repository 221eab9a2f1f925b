#!/usr/bin/env bash
# Line and branch coverage of the module's own decoders (core/png_decoder.cpp,
# core/bmp_decoder.cpp) and the codecs under them, reached by replaying the fuzz corpora
# through the shipped module: every file of the committed seeds, and of the scratch
# corpora fuzz/coverage.sh leaves in build/fuzz-coverage/corpus/, opened from bytes and
# from a stream on CPython 3.10. Builds the module with clang's source-based coverage
# into build/cp310-coverage/ (staged there, as scripts/test.sh stages its variant builds)
# and prints llvm-cov's report.
#
#   bash fuzz/coverage.sh 60 && bash fuzz/module_coverage.sh
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
out="$ROOT/build/cp310-coverage"
# Any instrumented process started outside the replay (a build step's own check) writes
# its profile here, not as default.profraw in whatever directory it ran in.
export LLVM_PROFILE_FILE="$out/other/%p.profraw"
ensure_venv cp310 "$(pyenv_python 3.10)"
ensure_system_packages clang:clang++
clang_major=$(clang++ -dumpversion | cut -d. -f1)
# The profile tools of clang's own major version: the raw format changes between them.
ensure_system_packages "llvm-$clang_major"
flags="-fprofile-instr-generate -fcoverage-mapping"
# Made anew: meson keeps the compiler a build folder was set up with.
rm -rf "$out"
CC=clang CXX=clang++ meson_build "$out" cp310 -Dcpp_args="$flags" -Dcpp_link_args="$flags"
stage_build "$out"

folders=()
for target in png_decode bmp_decode; do
    folders+=("$ROOT/fuzz/corpus/$target")
    [ -d "$ROOT/build/fuzz-coverage/corpus/$target" ] && folders+=("$ROOT/build/fuzz-coverage/corpus/$target")
done
rm -rf "$out/profiles"
LLVM_PROFILE_FILE="$out/profiles/%p.profraw" VEXTARO_STAGE="$out/stage" "$ROOT/.venv/cp310/bin/python" - \
    "${folders[@]}" <<'PY'
import contextlib, io, os, sys
from Vextaro.simpleImage_ext import SimpleImage
opened = refused = 0
with contextlib.redirect_stdout(io.StringIO()):  # the module's report line of every open
    for folder in sys.argv[1:]:
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            for source in (data, io.BytesIO(data)):
                try:
                    SimpleImage.open(source)
                    opened += 1
                except Exception:
                    refused += 1
print(f"{opened} opens, {refused} refusals, from {len(sys.argv) - 1} folders")
PY
"llvm-profdata-$clang_major" merge -sparse "$out"/profiles/*.profraw -o "$out/merged.profdata"
# Meson compiles with relative paths, which llvm-cov's own source filter does not match:
# the rows of the decoders and the codecs are picked here (not the encoder's filter and
# deflate files, which no open runs), with their own total of lines.
"llvm-cov-$clang_major" report "$out"/simpleImage_ext*.so -instr-profile="$out/merged.profdata" |
    awk '/^Filename/ { print; next }
         $1 ~ /\/(core\/(png|bmp)_decoder\.cpp|png\/|bmp\/)/ && $1 !~ /\/(filter|deflat)[^\/]*$/ {
             n = split($1, part, "/"); $1 = part[n - 1] "/" part[n]
             print; lines += $8; missed += $9 }
         END { printf "lines of these files reached: %d of %d (%.1f %%)\n", lines - missed, lines, 100 * (lines - missed) / lines }'
