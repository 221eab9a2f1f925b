#!/usr/bin/env bash
# Installs the pictures the benchmarks' inputs are made from: a Debian package of
# desktop backgrounds (about 46 MB installed) and one of icons. Without the
# backgrounds bench.py synthesises photo-like inputs instead; png_filters.py needs both.
set -euo pipefail

PACKAGES=(mate-backgrounds adwaita-icon-theme)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
