#!/usr/bin/env bash
# Sets up what is missing, builds the module for CPython 3.10 and runs the demonstration.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$ROOT"
ensure_system_packages
interpreter=$(pyenv_python 3.10)
ensure_venv cp310 "$interpreter"
build_host cp310
PYTHONPATH="$ROOT" .venv/cp310/bin/python examples/demo.py
