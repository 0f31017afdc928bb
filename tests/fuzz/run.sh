#!/bin/sh
# One bounded fuzzing run: BINARY SEEDS WORK SECONDS. New inputs and any crash land in WORK,
# never in the committed seeds; a crash fails the run.
set -e
mkdir -p "$3"
exec "$1" -max_total_time="$4" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$3/" "$3" "$2"
