#!/usr/bin/env python3
"""Export benchmarks: ratios from interleaved runs, medians with min and max.

Each comparison runs its two commands in turn (A B A B ...) after one
warm-up pair, and takes the ratio A/B of wall time pair by pair, so that a
machine whose speed drifts still gives a fair ratio. Times are wall clock
of the whole process; peak memory is the kernel's own accounting of the
finished child (ru_maxrss).

  cardtool export  vs  ffmpeg -c copy from NUT   (the muxing-only peer)
  cardtool export  vs  cat of the same bytes     (a sequential read; warm,
                                                  and cold: the files' pages
                                                  dropped before each run)
  the same, cold, from a card at card-reader speed (root only: the cards and
                                                  the dump on a file system
                                                  whose device is held to a
                                                  USB reader's read rate)
  player's export  vs  cardtool export           (the same span)
  cardtool export peak memory at 1 h, 6 h, 24 h spans
  pane 1's pace at 1.0x alone and while the same card exports

usage: bench.py BUILD_DIR [--runs N] [--minutes M] [--hours H,...] [--card-speeds MBPS,...]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

T0 = 1764554400  # 2025-12-01 10:00:00 in UTC+8


def run_once(cmd, env=None):
    """Wall seconds and peak resident MiB of one run of cmd (a list)."""
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) not in (0,):
        raise RuntimeError("failed: %s" % " ".join(cmd))
    return wall, usage.ru_maxrss / 1024.0


def pair(a, b, runs):
    """Runs a and b in turn; returns (ratios, walls of a, walls of b)."""
    run_once(a), run_once(b)  # warm-up
    ratios, wa, wb = [], [], []
    for _ in range(runs):
        ta, _ = run_once(a)
        tb, _ = run_once(b)
        ratios.append(ta / tb)
        wa.append(ta)
        wb.append(tb)
    return ratios, wa, wb


def spread(values, fmt="%.2f"):
    return (fmt + " [" + fmt + "-" + fmt + "]") % (statistics.median(values), min(values), max(values))


def sh(script):
    return ["sh", "-c", script]


def drop(paths):
    """A shell prefix that drops the files' cached pages (cold reads)."""
    return "".join("dd if='%s' iflag=nocache count=0 status=none; " % p for p in paths)


def card_files(card):
    if os.path.isdir(card):
        files = []
        for root, _, names in os.walk(card):
            files += [os.path.join(root, n) for n in sorted(names)]
        return files
    return [card]


class CardReader:
    """A file system on a loop device whose reads the kernel holds to a rate,
    as a card in a USB reader is: cardtool and the sequential read run in a
    block-I/O control group with a read limit on that device. Needs root and
    the version-1 blkio controller; why not, when it cannot be set up."""

    GROUPS = "/sys/fs/cgroup/blkio"

    def __init__(self, work, size_mb):
        self.work = work
        self.image = os.path.join(work, "reader.img")
        self.mount = os.path.join(work, "reader")
        self.group = os.path.join(self.GROUPS, "export-bench-%d" % os.getpid())
        self.loop = None
        self.mounted = False
        self.why = None
        if os.geteuid() != 0:
            self.why = "needs root"
        elif not os.path.exists(os.path.join(self.GROUPS, "blkio.throttle.read_bps_device")):
            self.why = "no blkio control group here"
        elif not (shutil.which("losetup") and shutil.which("mkfs.ext4")):
            self.why = "needs losetup and mkfs.ext4"
        if self.why:
            return
        try:
            with open(self.image, "wb") as f:
                f.truncate(size_mb << 20)
            subprocess.run(["mkfs.ext4", "-q", "-F", self.image], check=True)
            self.loop = subprocess.run(["losetup", "-f", "--show", self.image], check=True,
                                       stdout=subprocess.PIPE, text=True).stdout.strip()
            os.mkdir(self.mount)
            subprocess.run(["mount", self.loop, self.mount], check=True)
            self.mounted = True
            os.mkdir(self.group)
            name = os.path.basename(self.loop)
            # A USB disk's read-ahead, not the loop device's larger one.
            with open("/sys/block/%s/queue/read_ahead_kb" % name, "w") as f:
                f.write("128")
            with open("/sys/block/%s/dev" % name) as f:
                self.device = f.read().strip()
        except (OSError, subprocess.CalledProcessError) as e:
            self.why = "cannot set up the reader: %s" % e
            self.close()

    def rate(self, mb_per_s):
        with open(os.path.join(self.group, "blkio.throttle.read_bps_device"), "w") as f:
            f.write("%s %d" % (self.device, mb_per_s * 1000000))

    def inside(self, script):
        """A shell command that joins the group, then runs script."""
        return sh("echo $$ > '%s/cgroup.procs'; %s" % (self.group, script))

    def close(self):
        if self.mounted:
            subprocess.run(["umount", self.mount])
            self.mounted = False
        if self.loop:
            subprocess.run(["losetup", "-d", self.loop])
            self.loop = None
        if os.path.isdir(self.group):
            try:
                os.rmdir(self.group)
            except OSError:
                pass


class Bench:
    def __init__(self, build, work, runs):
        self.bin = os.path.join(os.path.abspath(build), "bin")
        self.work = work
        self.runs = runs
        self.rows = []

    def tool(self, name):
        return os.path.join(self.bin, name)

    def cardsim(self, path, args):
        subprocess.run([self.tool("cardsim")] + args + ["--out", path], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def export_script(self, card, layout, end, out):
        """Shell text: cardtool export of channel 0 from T0 to end into a fresh out."""
        return ("rm -rf '%s'; exec '%s' export '%s' --layout %s --channel 0 --start %d --end %d "
                "--out '%s'" % (out, self.tool("cardtool"), card, layout, T0, end, out))

    def dump(self, card, layout, end, out):
        """The span's media as cardtool dump writes them into out, sorted."""
        subprocess.run([self.tool("cardtool"), "dump", card, "--layout", layout, "--channel", "0",
                        "--start", str(T0), "--end", str(end), "--out", out], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return sorted(os.path.join(out, f) for f in os.listdir(out))

    def row(self, what, ratios, wa, wb):
        self.rows.append((what, spread(ratios), spread(wa), spread(wb)))
        print("  %-52s %s" % (what, spread(ratios)), flush=True)

    def card(self, layout, codec, minutes):
        """The card of a layout and codec with one recording of minutes from
        T0 on, made at the first call."""
        card = os.path.join(self.work, "%s-%s%s" % (layout, codec, ".img" if layout == "raw" else ""))
        if not os.path.exists(card):
            self.cardsim(card, ["--layout", layout, "--codec", codec, "--size", "640x360",
                                "--fps", "25", "--gop", "50", "--raw", "frameAreaSize=1073741824",
                                "--record", "0,%d,%d" % (T0, T0 + minutes * 60)])
        return card

    def layouts_and_codecs(self, minutes):
        end = T0 + minutes * 60
        for layout in ("raw", "file"):
            for codec in ("h264", "h265"):
                name = "%s-%s" % (layout, codec)
                card = self.card(layout, codec, minutes)
                dump = os.path.join(self.work, name + "-dump")
                streams = self.dump(card, layout, end, dump)
                video = [s for s in streams if not s.endswith(".aac")][0]
                audio = [s for s in streams if s.endswith(".aac")][0]
                # The peer's container holds the frames already: made once.
                nut = os.path.join(self.work, name + ".nut")
                subprocess.run(["ffmpeg", "-nostdin", "-y", "-v", "error", "-r", "25",
                                "-f", codec.replace("h265", "hevc"), "-i", video, "-i", audio,
                                "-map", "0:v", "-map", "1:a", "-c", "copy", nut], check=True)
                out = os.path.join(self.work, "out")
                export = sh(self.export_script(card, layout, end, out))
                peer = sh("exec ffmpeg -nostdin -y -v error -i '%s' -c copy -movflags +faststart "
                          "'%s/peer.mp4'" % (nut, self.work))
                self.row("%s: export / ffmpeg remux from NUT" % name, *pair(export, peer, self.runs))
                read = sh("exec cat '%s' '%s'" % (video, audio))
                self.row("%s: export / sequential read, warm" % name, *pair(export, read, self.runs))
                cold_export = sh(drop(card_files(card)) + self.export_script(card, layout, end, out))
                cold_read = sh(drop([video, audio]) + "exec cat '%s' '%s'" % (video, audio))
                self.row("%s: export / sequential read, cold (this disk)" % name,
                         *pair(cold_export, cold_read, self.runs))
                if name == "raw-h265" and os.path.exists(self.tool("window_export")):
                    window = sh("rm -rf '%s'; exec '%s' '%s' raw %d %d '%s'"
                                % (out, self.tool("window_export"), card, T0, end, out))
                    self.row("%s: player's export / cardtool export" % name,
                             *pair(window, export, self.runs))
                shutil.rmtree(dump, ignore_errors=True)
                os.unlink(nut)

    def card_speed(self, minutes, rates):
        """cardtool export against a sequential read of the span's media, both
        cold, from a card read at each rate (MB/s) of a USB card reader."""
        end = T0 + minutes * 60
        reader = CardReader(self.work, 256 + minutes * 60)
        if reader.why:
            print("  card-reader speed: not measured (%s)" % reader.why, flush=True)
            self.rows.append(("card-reader speed", "not measured: " + reader.why, "", ""))
            return
        try:
            for layout in ("raw", "file"):
                for codec in ("h264", "h265"):
                    name = "%s-%s" % (layout, codec)
                    card = self.card(layout, codec, minutes)
                    on_reader = os.path.join(reader.mount, os.path.basename(card))
                    subprocess.run(["cp", "-r", "--sparse=always", card, on_reader], check=True)
                    dump = os.path.join(reader.mount, name + "-dump")
                    media = self.dump(on_reader, layout, end, dump)
                    subprocess.run(["sync"])
                    out = os.path.join(self.work, "out")
                    export = reader.inside(drop(card_files(on_reader)) +
                                           self.export_script(on_reader, layout, end, out))
                    read = reader.inside(drop(media) + "exec cat %s"
                                         % " ".join("'%s'" % m for m in media))
                    for rate in rates:
                        reader.rate(rate)
                        ratios, wa, wb = pair(export, read, self.runs)
                        # The kernel lets a first slice (0.1 s) of the rate through at once,
                        # which a short read is mostly made of.
                        short = " (read < 1 s)" if statistics.median(wb) < 1 else ""
                        self.row("%s: export / read, card at %d MB/s, cold%s" % (name, rate, short),
                                 ratios, wa, wb)
                    shutil.rmtree(dump)
                    shutil.rmtree(on_reader) if os.path.isdir(on_reader) else os.unlink(on_reader)
        finally:
            reader.close()

    def memory(self, hours_list):
        print("  peak memory of cardtool export (synthetic H.264, 64x48, 25 fps, with sound)")
        for hours in hours_list:
            end = T0 + hours * 3600
            card = os.path.join(self.work, "long.img")
            ring = (hours * 32 + 64) * 1048576  # about 25 MiB an hour at this size
            self.cardsim(card, ["--layout", "raw", "--codec", "h264", "--media", "synthetic",
                                "--size", "64x48", "--fps", "25", "--raw", "frameAreaSize=%d" % ring,
                                "--record", "0,%d,%d" % (T0, end)])
            out = os.path.join(self.work, "out")
            shutil.rmtree(out, ignore_errors=True)
            wall, rss = run_once([self.tool("cardtool"), "export", card, "--channel", "0",
                                  "--start", str(T0), "--end", str(end), "--out", out])
            self.rows.append(("%d h span: peak MiB / wall s" % hours, "%.1f MiB" % rss,
                              "%.1f s" % wall, ""))
            print("  %-52s %.1f MiB, %.1f s" % ("%d h span" % hours, rss, wall), flush=True)
            os.unlink(card)
            shutil.rmtree(out, ignore_errors=True)

    def pacing(self, seconds=20, exported=1800):
        if not os.path.exists(self.tool("pane_pacing")):
            return
        card = os.path.join(self.work, "pacing.img")
        # A picture size and rate that the pane keeps up with on its own here,
        # so that what the export takes from it shows.
        self.cardsim(card, ["--layout", "raw", "--codec", "h265", "--size", "320x180", "--fps", "12",
                            "--record", "0,%d,%d" % (T0, T0 + exported + 5)])
        env = dict(os.environ, PANE_PACING_OUT=os.path.join(self.work, "pacing-out"))
        out = subprocess.run([self.tool("pane_pacing"), card, str(T0), str(seconds), "12",
                              str(exported)],
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             text=True, check=True).stdout
        # The card library's load report comes first on standard output.
        out = out[out.find("pane 1"):] if "pane 1" in out else out
        self.pacing_text = out.strip()
        print(self.pacing_text, flush=True)

    def table(self):
        print()
        print("%-54s %-24s %-24s %s" % ("", "ratio A/B", "A wall s", "B wall s"))
        for what, r, a, b in self.rows:
            print("%-54s %-24s %-24s %s" % (what, r, a, b))
        print("(medians with [min-max] of %d interleaved pairs)" % self.runs)
        print("cold (this disk): the files' pages are dropped, but a virtual disk may still be\n"
              "cached by its host. card at N MB/s: the card and its media on a device read at\n"
              "most N MB/s, as through a USB card reader, with the pages dropped before each run;\n"
              "(read < 1 s): the device's first 0.1 s goes at full speed, so the read looks faster.")
        if getattr(self, "pacing_text", None):
            print()
            print(self.pacing_text)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("build")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--minutes", type=int, default=10)
    p.add_argument("--hours", default="1,6,24")
    # A USB 2.0 card reader, and a USB 3 reader with a fast card.
    p.add_argument("--card-speeds", default="40,90")
    p.add_argument("--only-card-speed", action="store_true", help="only the card-reader rows")
    args = p.parse_args()
    os.environ.setdefault("TZ", "CST-8")
    for t in ("ffmpeg", "cat", "dd"):
        if not shutil.which(t):
            sys.exit("bench.py: %s is missing" % t)
    work = tempfile.mkdtemp(prefix="export-bench-")
    try:
        b = Bench(args.build, work, args.runs)
        subprocess.run(["sync"])
        if not args.only_card_speed:
            b.layouts_and_codecs(args.minutes)
        b.card_speed(args.minutes, [int(r) for r in args.card_speeds.split(",") if r])
        if not args.only_card_speed:
            b.memory([int(h) for h in args.hours.split(",") if h])
            b.pacing()
        b.table()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
