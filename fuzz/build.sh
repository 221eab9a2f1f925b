#!/usr/bin/env bash
# Builds the libFuzzer targets, with AddressSanitizer and UBSan, into build/fuzz/.
# The plain C++ codecs are compiled in directly: no Python is involved.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
source "$ROOT/fuzz/targets.sh"

build_fuzz_targets "$ROOT/build/fuzz" -fsanitize=address,undefined -fno-sanitize-recover=undefined
echo "fuzz targets in $ROOT/build/fuzz: ${FUZZ_TARGETS[*]} (clang $clang_major)"
