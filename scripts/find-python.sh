#!/usr/bin/env bash
# Prints the path of a Python interpreter of the wanted version (default 3.12):
# pyenv's when pyenv has it, else pythonX.Y on PATH.
set -euo pipefail
ver="${1:-3.12}"
if PYENV_VERSION="$ver" command -v "python$ver" >/dev/null 2>&1 && PYENV_VERSION="$ver" "python$ver" -c 'import sys' 2>/dev/null; then
  PYENV_VERSION="$ver" "python$ver" -c 'import sys; print(sys.executable)'
  exit 0
fi
echo "python$ver not found: install CPython $ver (e.g. apt-get install python$ver python$ver-venv)" >&2
exit 1
