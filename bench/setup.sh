#!/usr/bin/env bash
# Installs the photographs the benchmark's inputs are made from: a Debian package
# of desktop backgrounds (about 46 MB installed). Without it bench.py synthesises
# photo-like inputs instead, so this step is optional.
set -euo pipefail

PACKAGE=mate-backgrounds
dpkg -s "$PACKAGE" >/dev/null 2>&1 && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$PACKAGE" >/dev/null
