#!/usr/bin/env bash
# One bounded fuzz run: TARGET SEED_DIR WORK_DIR SECONDS [LIBFUZZER_OPTION…]. New inputs go to
# WORK_DIR/corpus (the seeds stay as they are); a crash leaves its input in WORK_DIR and fails
# the run. The targets' scratch files go to memory when the machine has /dev/shm: on ext4 each
# truncating rewrite of an input file starts a write-back that costs more than the code under
# test.
set -euo pipefail
target=$1 seeds=$2 work=$3 seconds=$4
shift 4
mkdir -p "$work/corpus"
cd "$work"
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
TMPDIR=$(mktemp -d "$base/quillbox-fuzz.XXXXXX")
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
"$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 -max_len=65536 \
  -print_final_stats=1 -artifact_prefix="$work/" "$@" "$work/corpus" "$seeds"
