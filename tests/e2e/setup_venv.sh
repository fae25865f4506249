#!/usr/bin/env bash
# Creates a virtual environment with one generation of the official MCP Python SDK:
#   setup_venv.sh PYTHON VENV REQUIREMENT      e.g. "mcp>=2,<3"
# Exit 77 (skip) when the package index cannot be reached.
set -uo pipefail
python="$1"
venv="$2"
requirement="$3"
stamp="$venv/quillbox-requirement"
if [ -x "$venv/bin/python" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$requirement" ] &&
   "$venv/bin/python" -c "import mcp" 2>/dev/null; then
  exit 0
fi
rm -rf "$venv"
"$python" -m venv "$venv" || { echo "cannot create a virtual environment (python3-venv missing?)"; exit 1; }
pip=("$venv/bin/python" -m pip --disable-pip-version-check --timeout 30 --retries 2)
if ! "${pip[@]}" install --quiet "$requirement"; then
  # Only an unreachable index is a reason to skip; a reachable one that cannot install is a failure.
  if ! "${pip[@]}" index versions mcp >/dev/null 2>&1; then
    echo "the package index cannot be reached; skipping the MCP SDK session"
    exit 77
  fi
  echo "pip could not install $requirement"
  exit 1
fi
echo "$requirement" > "$stamp"
"$venv/bin/python" -m pip show mcp | grep -i '^version'
