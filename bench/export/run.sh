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

# measure NAME COMMAND...: runs it under /usr/bin/time -v; prints wall seconds
# and peak resident KiB into $work/NAME.result.
measure() {
  local name=$1
  shift
  /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err"
  local wall rss
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {
      n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' \
      "$work/$name.time")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/$name.time")
  echo "$wall $rss" >"$work/$name.result"
}

echo "== cardtool export, both channels, ${minutes} min"
measure export "$bin/cardtool" export "$work/card.img" --start "$start" --end "$end" \
  --out "$work/mp4" --json
cat "$work/export.out"

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

echo "== ffmpeg -c copy remux of the same frames, channel by channel"
mkdir -p "$work/remux"
for c in 0 1; do
  measure "remux$c" ffmpeg -nostdin -y -v error -r 12 -f hevc -i "$work/dump/fixed$c.h265" \
    -f aac -i "$work"/dump/*-channel$c.aac -map 0:v -map 1:a -c copy "$work/remux/channel$c.mp4"
done

read -r ew er <"$work/export.result"
read -r sw sr <"$work/export_short.result"
read -r r0w r0r <"$work/remux0.result"
read -r r1w r1r <"$work/remux1.result"
python3 - "$ew" "$er" "$sw" "$sr" "$r0w" "$r0r" "$r1w" "$r1r" "$work" <<'PY'
import os, sys, glob
ew, er, sw, sr, r0w, r0r, r1w, r1r = (float(x) for x in sys.argv[1:9])
work = sys.argv[9]
def mib(kib): return kib / 1024
def total(pattern): return sum(os.path.getsize(p) for p in glob.glob(os.path.join(work, pattern)))
rw = r0w + r1w
print()
print("%-34s %10s %14s %12s" % ("", "wall s", "peak RSS MiB", "output MiB"))
print("%-34s %10.2f %14.1f %12.1f" % ("cardtool export (2 ch)", ew, mib(er), total("mp4/*.mp4") / 2**20))
print("%-34s %10.2f %14.1f %12.1f" % ("ffmpeg -c copy remux (2 ch, sum)", rw, mib(max(r0r, r1r)), total("remux/*.mp4") / 2**20))
print("%-34s %10.2f %14.1f" % ("cardtool export, 1 min span", sw, mib(sr)))
print()
print("export / remux wall time ratio: %.2f (target: at most 1)" % (ew / rw if rw else float("nan")))
print("export peak memory: %.1f MiB (target: under 64 MiB)" % mib(er))
PY
