#!/usr/bin/env bash
# Card operations of cardtool against its start-up: `info`, `month`, `day`
# and `frames` on a simulated card of each layout, each timed against
# `cardtool --help` (a process that starts and ends without a card, which is
# most of what a card operation costs). The two commands run in turn, A B A B
# ..., and each pair gives one ratio A/B, so the ratio holds while the
# machine's speed drifts; the table gives the median and the min and max of
# each figure.
#
# usage: bench/cardtool/run.sh [BUILD_DIR]     (default: build)
# environment: ROUNDS (15) pairs per operation, WORK (a new directory under
#              /tmp) where the cards go, KEEP=1 keeps them afterwards.
#
# The cards: two channels, one hour of 50 s recordings a minute apart
# (120 fragments, 6,000 I-frames, about 166,000 frames on the raw card),
# synthetic 320x180 H.265 with sound. `frames` reads 5,000 frames.
set -euo pipefail

build=${1:-build}
bin=$(cd "$build" && pwd)/bin
export TZ=${TZ:-CST-8}
rounds=${ROUNDS:-15}
work=${WORK:-$(mktemp -d /tmp/cardtool-bench-XXXXXX)}
mkdir -p "$work"
cleanup() { [ "${KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

for tool in "$bin/cardsim" "$bin/cardtool" python3; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing" >&2; exit 1; }
done

start=1796090400  # 2026-12-01 10:00:00 in UTC+8
records=()
for i in $(seq 0 59); do
  s=$((start + i * 60))
  records+=(--record "0,$s,$((s + 50))" --record "1,$s,$((s + 50))")
done
common=(--codec h265 --channels 2 --size 320x180 --media synthetic "${records[@]}")
"$bin/cardsim" --layout raw --raw frameAreaSize=268435456 "${common[@]}" --out "$work/raw.img" >/dev/null
"$bin/cardsim" --layout file "${common[@]}" --out "$work/vol" >/dev/null

python3 - "$bin/cardtool" "$work" "$rounds" "$start" <<'PY'
import statistics, subprocess, sys, time

tool, work, rounds, start = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
day = start - 10 * 3600            # local midnight of the cards' day
month = day                        # the 1st of December
ops = [
    ("info", ["info", "CARD", "--json"]),
    ("month", ["month", "CARD", "--start", str(month), "--end", str(month + 31 * 86400), "--json"]),
    ("day", ["day", "CARD", "--start", str(day), "--end", str(day + 86400), "--json"]),
    ("frames", ["frames", "CARD", "--start", str(start), "--limit", "5000", "--json"]),
]
baseline = [tool, "--help"]

def wall(cmd):
    t = time.perf_counter()
    done = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - t
    # 0 is the whole answer; anything else means the figure measures a failure.
    if done.returncode != 0:
        sys.exit("run.sh: %s exited %d" % (" ".join(cmd), done.returncode))
    return elapsed

def spread(values, scale=1.0, fmt="%.2f"):
    return (fmt + " [" + fmt + ", " + fmt + "]") % (statistics.median(values) * scale, min(values) * scale,
                                                    max(values) * scale)

print("%-8s %-5s %24s %24s %24s" % ("command", "card", "cardtool ms", "--help ms", "ratio"))
for layout, card in (("raw", work + "/raw.img"), ("file", work + "/vol")):
    for name, args in ops:
        cmd = [tool] + [card if a == "CARD" else a for a in args]
        wall(cmd), wall(baseline)  # warm-up, not counted
        a, b = [], []
        for _ in range(rounds):
            a.append(wall(cmd))
            b.append(wall(baseline))
        ratios = [x / y for x, y in zip(a, b)]
        print("%-8s %-5s %24s %24s %24s" % (name, layout, spread(a, 1000, "%.1f"), spread(b, 1000, "%.1f"),
                                              spread(ratios)))
print("median [min, max] of %d interleaved pairs; ratio = operation / --help, pair by pair" % rounds)
PY
