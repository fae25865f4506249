#!/usr/bin/env bash
# Runs bench/token_economy.py: a virtual environment with the tokenizer (the `tokenizers`
# package and the tokenizer.json that anthropic 0.34.2 ships), the .md files of a few Python
# source distributions beside the Markdown under /usr/share/doc, and quillbox from the debug
# build (QUILLBOX=... to use another). Extra arguments go to the script.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
top="$(dirname "$here")"
work="$top/build/bench-economy"
venv="$work/venv"
sdists="$work/sdists"
mkdir -p "$work" "$sdists"

if [[ ! -x "$venv/bin/python" ]]; then
    python3 -m venv "$venv"
    "$venv/bin/pip" install -q tokenizers
    # Only its tokenizer.json is used: no need for its dependencies.
    "$venv/bin/pip" install -q --no-deps "anthropic==0.34.2"
fi
for pkg in fastapi==0.165.0 pipenv==2026.11.0 typer==0.29.3 httpx==0.29.0 poetry==2.5.1 \
           pydantic==2.14.4 rich==15.0.0; do
    name="${pkg%%==*}"
    ls "$sdists" | grep -qi "^${name}-" ||
        "$venv/bin/pip" download -q --no-deps --no-binary :all: "$pkg" -d "$sdists" ||
        echo "note: no source distribution of $pkg; going on without it" >&2
done
exec "$venv/bin/python" "$here/token_economy.py" --quillbox "${QUILLBOX:-$top/build/debug/bin/quillbox}" \
    --sdists "$sdists" "$@"
