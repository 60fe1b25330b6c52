#!/usr/bin/env bash
# Export benchmark: `cardtool export` of a long two-channel H.265 span from a
# simulated raw-disk card, against `ffmpeg -c copy` remuxing the same frames
# (taken out with `cardtool dump`) into MP4. Wall time and peak memory of
# each, side by side, from /usr/bin/time -v.
#
# usage: bench/export/run.sh [BUILD_DIR]     (default: build)
# environment: MINUTES (30) length of the span, SIZE (1280x720) picture size,
#              WORK (a new directory under /tmp) where the files go,
#              KEEP=1 keeps them afterwards.
#
# The card uses the simulator's synthetic media: frames of realistic sizes
# and kinds with made-up contents, since encoding half an hour of two
# channels is too slow here. ffmpeg needs to parse the picture size from
# the parameter sets, so the dump's parameter sets are replaced with real
# ones of the same size before the remux (fix_params.py).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
bin=$(cd "$build" && pwd)/bin
export TZ=${TZ:-CST-8}
minutes=${MINUTES:-30}
size=${SIZE:-1280x720}
work=${WORK:-$(mktemp -d /tmp/export-bench-XXXXXX)}
mkdir -p "$work"
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

for tool in "$bin/cardsim" "$bin/cardtool" /usr/bin/time ffmpeg python3; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing" >&2; exit 1; }
done

start=1704429296  # 2024-01-05 12:34:56 in UTC+8
end=$((start + minutes * 60))
w=${size%x*}
h=${size#*x}
# Synthetic frames come to about 27 bytes per pixel and minute; the frame
# ring of each channel gets a quarter more, in whole MiB.
ring=$(( (minutes * 27 * w * h * 5 / 4 / 1048576 + 1) * 1048576 ))

echo "== card: ${minutes} min, 2 channels, H.265 ${size}, synthetic media"
"$bin/cardsim" --layout raw --codec h265 --channels 2 --size "$size" --media synthetic \
  --raw "frameAreaSize=$ring" --record "0,$start,$end" --record "1,$start,$end" \
  --out "$work/card.img"
du -h --apparent-size "$work/card.img" | sed 's/^/   image /'
du -h "$work/card.img" | sed 's/^/   stored /'

# measure NAME COMMAND...: runs it under /usr/bin/time -v; writes wall seconds,
# peak resident KiB and CPU seconds (user + system) into $work/NAME.result.
measure() {
  local name=$1
  shift
  # Earlier steps leave gigabytes of dirty pages; let them reach the disk
  # first so that no run pays for another's writes.
  sync
  /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local wall rss cpu
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' \
      "$work/$name.time")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/$name.time")
  cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$work/$name.time")
  echo "$wall $rss $cpu" >"$work/$name.result"
}

echo "== cardtool export, both channels, 1 min (memory must not grow with the span)"
measure export_short "$bin/cardtool" export "$work/card.img" --start "$start" \
  --end $((start + 60)) --out "$work/mp4short" --json

echo "== cardtool dump and parameter sets for ffmpeg"
ffmpeg -v error -f lavfi -i "testsrc=size=${size}:rate=12" -frames:v 1 -c:v libx265 \
  -x265-params log-level=none -f hevc "$work/reference.h265"
for c in 0 1; do
  "$bin/cardtool" dump "$work/card.img" --channel "$c" --start "$start" --end "$end" \
    --out "$work/dump" >/dev/null 2>&1
  python3 "$here/fix_params.py" "$work/reference.h265" "$work"/dump/*-channel$c.h265 \
    "$work/dump/fixed$c.h265"
  rm -f "$work"/dump/*-channel$c.h265
done

# The disk is shared with other work: each side runs REPEAT times, taking
# turns, and the fastest run of each counts.
repeat=${REPEAT:-2}
mkdir -p "$work/remux"
for round in $(seq 1 "$repeat"); do
  echo "== round $round: cardtool export (both channels), then ffmpeg -c copy remux (channel by channel)"
  rm -rf "$work/mp4"
  measure "export.$round" "$bin/cardtool" export "$work/card.img" --start "$start" --end "$end" \
    --out "$work/mp4" --json
  cat "$work/export.$round.out"
  for c in 0 1; do
    measure "remux$c.$round" ffmpeg -nostdin -y -v error -r 12 -f hevc -i "$work/dump/fixed$c.h265" \
      -f aac -i "$work"/dump/*-channel$c.aac -map 0:v -map 1:a -c copy "$work/remux/channel$c.mp4"
  done
done

python3 - "$work" "$repeat" <<'PY'
import glob, os, sys
work, repeat = sys.argv[1], int(sys.argv[2])
def result(name):
    with open(os.path.join(work, name + ".result")) as f:
        wall, rss, cpu = (float(x) for x in f.read().split())
    return wall, rss / 1024, cpu
def total(pattern):
    return sum(os.path.getsize(p) for p in glob.glob(os.path.join(work, pattern))) / 2**20
exports = [result("export.%d" % r) for r in range(1, repeat + 1)]
remuxes = []
for r in range(1, repeat + 1):
    a, b = result("remux0.%d" % r), result("remux1.%d" % r)
    remuxes.append((a[0] + b[0], max(a[1], b[1]), a[2] + b[2]))
short = result("export_short")
e = min(exports)
x = min(remuxes)
print()
print("%-36s %8s %8s %14s %11s" % ("", "wall s", "CPU s", "peak RSS MiB", "output MiB"))
for r, (w, m, c) in enumerate(exports, 1):
    print("%-36s %8.2f %8.2f %14.1f %11.1f" % ("cardtool export, 2 ch, round %d" % r, w, c, m, total("mp4/*.mp4")))
for r, (w, m, c) in enumerate(remuxes, 1):
    print("%-36s %8.2f %8.2f %14.1f %11.1f" % ("ffmpeg -c copy, 2 ch, round %d" % r, w, c, m, total("remux/*.mp4")))
print("%-36s %8.2f %8.2f %14.1f" % ("cardtool export, 2 ch, 1 min span", short[0], short[2], short[1]))
print()
print("export / remux wall time, best runs: %.2f (target: at most 1)" % (e[0] / x[0]))
print("export / remux CPU time, best runs:  %.2f" % (e[2] / x[2]))
print("export peak memory: %.1f MiB over %d runs (target: under 64 MiB)" % (max(m for _, m, _ in exports), repeat))
PY
