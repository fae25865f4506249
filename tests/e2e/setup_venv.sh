#!/usr/bin/env bash
# Creates a virtual environment with the official MCP Python SDK. Exit 77 (skip) when PyPI
# cannot be reached.
set -uo pipefail
python="$1"
venv="$2"
if [ -x "$venv/bin/python" ] && "$venv/bin/python" -c "import mcp" 2>/dev/null; then
  exit 0
fi
"$python" -m venv "$venv" || { echo "cannot create a virtual environment (python3-venv missing?)"; exit 1; }
if ! "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "mcp>=1.9,<2"; then
  echo "pip could not install the MCP SDK (no network?); skipping"
  exit 77
fi
