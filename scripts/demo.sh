#!/usr/bin/env bash
# Sets up what is missing, builds the module for CPython 3.10, writes two sample
# images with Pillow and runs the demonstration on them.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"
ensure_system_packages
interpreter=$(pyenv_python 3.10)
ensure_venv cp310 "$interpreter"
build_host cp310
.venv/cp310/bin/python examples/make_samples.py build/samples
PYTHONPATH="$ROOT" .venv/cp310/bin/python examples/demo.py build/samples
