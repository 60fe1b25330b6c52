#!/usr/bin/env bash
# Export benchmarks (not tests): cardtool export against the muxing-only peer
# and a sequential read, both layouts and codecs, from this machine's disk
# and (as root) from a card read at a USB card reader's rate; the player's
# export path against cardtool export; peak memory at 1 h, 6 h and 24 h
# spans. Each comparison is a ratio from interleaved runs, medians with min
# and max.
#
# usage: bench/export/run.sh [BUILD_DIR]     (default: build)
# environment: RUNS (5) pairs per comparison, MINUTES (10) span of the
#              layout and codec cards, HOURS (1,6,24) spans for memory,
#              CARD_SPEEDS (40,90) card-reader rates in MB/s.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec python3 "$here/bench.py" "${1:-build}" --runs "${RUNS:-5}" --minutes "${MINUTES:-10}" \
  --hours "${HOURS:-1,6,24}" --card-speeds "${CARD_SPEEDS:-40,90}"
