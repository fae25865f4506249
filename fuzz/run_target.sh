#!/usr/bin/env bash
# One bounded fuzz run: TARGET SEED_DIR WORK_DIR SECONDS. New inputs go to WORK_DIR/corpus (the
# seeds stay as they are); a crash leaves its input in WORK_DIR and fails the run.
set -euo pipefail
target=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus"
cd "$work"
exec "$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$work/" "$work/corpus" "$seeds"
