#!/usr/bin/env bash
# Encoder throughput before and after, in one run: bench_encoder of this tree, run once with the
# encoder libraries of an earlier commit (built in release in a worktree of their own) and once
# with this tree's, alternately, on the same sections.
#   bench/encoder_before_after.sh [BASE_COMMIT] [bench_encoder flags]   (BASE default: main)
# Needs the model where the product finds it (QUILLBOX_MODEL_DIR); the release preset builds.
set -euo pipefail
cd "$(dirname "$0")/.."
base="${1:-main}"
shift || true
here="$(pwd)"
rev="$(git rev-parse "$base")"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# BEFORE_LIB: a folder that already holds the earlier libquillbox_semantic and its runtime.
before_lib="${BEFORE_LIB:-}"
if [ -z "$before_lib" ]; then
  before_src="$here/build/encoder-before-src"
  if [ ! -d "$before_src" ] || [ "$(git -C "$before_src" rev-parse HEAD)" != "$rev" ]; then
    git worktree remove --force "$before_src" 2>/dev/null || rm -rf "$before_src"
    git worktree add --detach "$before_src" "$rev" >/dev/null
  fi
  (cd "$before_src" && cmake --preset release "${launcher[@]}" >/dev/null &&
    cmake --build --preset release -j "$(nproc)" --target quillbox_semantic quillbox_semantic_runtime >/dev/null)
  before_lib="$before_src/build/release/lib"
fi
[ -f build/release/build.ninja ] || cmake --preset release "${launcher[@]}" >/dev/null
cmake --build --preset release -j "$(nproc)" --target bench_encoder quillbox_semantic_runtime >/dev/null
# The bench finds libquillbox_semantic through LD_LIBRARY_PATH first (RUNPATH comes after it),
# and that library loads the runtime library that lies beside it.
for round in 1 2; do
  echo "== before ($before_lib), round $round"
  LD_LIBRARY_PATH="$before_lib" build/release/bin/bench_encoder "$@"
  echo "== after ($(git rev-parse --short HEAD)), round $round"
  build/release/bin/bench_encoder "$@"
done
