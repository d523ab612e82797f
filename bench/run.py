#!/usr/bin/env python3
"""Measures tamberlo-host against the floor (the least any program must spend on the same pipe
and disk work) and against a typical peer host written in Python, in one run. Contenders are
interleaved trial by trial so that machine noise hits all alike; every figure is the median of
several runs. Writes a Markdown table with the target ratios, a JSON file of the raw figures and
a PNG chart of save throughput against chunk size. Saves go through the pipe in chunk messages
and through the host's channel (a WebSocket, against a floor that takes the same bytes from a
plain loopback TCP connection).

Called by scripts/bench, which builds the programs first."""
import argparse
import base64
import datetime
import filecmp
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MiB = 1 << 20
# The origin the host is started with for its channel, as Chromium passes its caller's.
ORIGIN = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
from native_messaging import frame  # noqa: E402

FULL = dict(file_mib=256, chunks_kib=[64, 256, 1024, 4096, 16384], runs=11, messages=100000,
            oneshot_runs=200, lookup_entries=100000, lookup_queries=10)
QUICK = dict(file_mib=4, chunks_kib=[64, 1024], runs=1, messages=300, oneshot_runs=10,
             lookup_entries=2000, lookup_queries=3)


def save_frames(path, data, chunk, length=None):
    """begin, chunks and end for saving data[:length] as video.bin, written to path. Returns
    the largest frame's length."""
    length = len(data) if length is None else length
    largest = 0
    with open(path, "wb") as out:
        out.write(frame('{"type":"file.write.begin","name":"video.bin"}'))
        for offset in range(0, length, chunk):
            piece = base64.b64encode(data[offset:min(offset + chunk, length)])
            body = (b'{"type":"file.write.chunk","part":"video.bin.part","offset":%d,"data":"'
                    % offset + piece + b'"}')
            largest = max(largest, len(body))
            out.write(frame(body))
        out.write(frame('{"type":"file.write.end","part":"video.bin.part","name":"video.bin",'
                        '"size":%d}' % length))
    return largest


def repeated_frames(path, payloads):
    with open(path, "wb") as out:
        for payload in payloads:
            out.write(frame(payload))


def fill_folder(folder, entries):
    """A Downloads folder of `entries` names: a few copies of clip.mp4 (clip.mp4 made first,
    so it is the earliest) among names that begin like it, end like it, or neither."""
    os.makedirs(folder, exist_ok=True)
    copies = ["clip.mp4", "clip (1).mp4", "clip 2.mp4", "clip-3.mp4"]
    for name in copies:
        os.close(os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT, 0o644))
        # Creation times tick coarsely (a few ms on tmpfs): the copies must differ, or the
        # earliest is whichever the folder happens to list first.
        time.sleep(0.02)
    kinds = ["clip_%06d.mp4", "video %06d.mp4", "IMG_%06d.jpg", "clip (%06d).webm"]
    for i in range(entries - len(copies)):
        name = kinds[i % len(kinds)] % i
        os.close(os.open(os.path.join(folder, name), os.O_WRONLY | os.O_CREAT, 0o644))


class Bench:
    def __init__(self, args, sizes):
        self.args = args
        self.sizes = sizes
        self.work = tempfile.mkdtemp(prefix="tamberlo-bench-", dir=args.work)
        self.drive = os.path.join(args.build, "bench", "tamberlo-bench-drive")
        floor = os.path.join(args.build, "bench", "tamberlo-bench-floor")
        host = os.path.join(args.build, "tamberlo-host")
        python = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
        peer = os.path.join(HERE, "peer_host.py")
        # Each contender: how to start it for a Downloads folder.
        self.commands = {
            "host": lambda downloads: [host],
            "floor": None,  # set per job: the floor's mode depends on the job
            "peer": lambda downloads: [python, peer],
        }
        self.floor = floor
        self.raw = {"save": {}, "rss_flat": {}, "channel": {}, "messages": {}, "oneshot": {},
                    "lookup": {}}
        self.turn = 0

    def order(self, names):
        # Rotated from trial to trial so that no contender always runs first or last.
        self.turn += 1
        k = self.turn % len(names)
        return names[k:] + names[:k]

    def home(self, name, fresh=True):
        home = os.path.join(self.work, "home-" + name)
        downloads = os.path.join(home, "Downloads")
        if fresh:
            shutil.rmtree(home, ignore_errors=True)
            os.makedirs(downloads)
        return home, downloads

    def run(self, mode, frames, command, home, runs=None, extra=()):
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"))
        argv = ([self.drive, mode, frames] + ([str(runs)] if runs else []) + list(extra) + ["--"]
                + command)
        out = subprocess.run(argv, env=env, check=True, capture_output=True, text=True).stdout
        result = json.loads(out)
        if result["status"] != 0:
            raise SystemExit(f"bench: {command[0]} ended with status {result['status']}")
        return result

    def command(self, who, floor_mode, downloads):
        if who == "floor":
            return [self.floor, floor_mode, downloads]
        return self.commands[who](downloads)

    # 1-3: save throughput, CPU and memory.
    def save(self):
        sizes = self.sizes
        data = os.urandom(sizes["file_mib"] * MiB)
        source = os.path.join(self.work, "source.bin")
        with open(source, "wb") as f:
            f.write(data)
        frames, largest = {}, {}
        for kib in sizes["chunks_kib"]:
            frames[kib] = os.path.join(self.work, f"save-{kib}.frames")
            largest[kib] = save_frames(frames[kib], data, kib * 1024)
        # The same chunk size over a quarter of the file: peak memory must not grow with the
        # number of chunks.
        flat_kib = 1024 if 1024 in sizes["chunks_kib"] else sizes["chunks_kib"][0]
        quarter = os.path.join(self.work, "save-quarter.frames")
        save_frames(quarter, data, flat_kib * 1024, len(data) // 4)
        del data
        expected = json.dumps({"ok": True, "name": "video.bin"}, separators=(",", ":"))
        for run in range(sizes["runs"]):
            for kib in sizes["chunks_kib"]:
                for who in self.order(["host", "floor", "peer"]):
                    home, downloads = self.home(who)
                    r = self.run("stream", frames[kib], self.command(who, "save", downloads), home)
                    saved = os.path.join(downloads, "floor.bin" if who == "floor" else "video.bin")
                    if who != "floor":
                        if r["last"] != expected:
                            raise SystemExit(f"bench: {who} at {kib} KiB answered {r['last']}")
                        # The first run of each size checks every byte against the source.
                        if run == 0 and not filecmp.cmp(saved, source, shallow=False):
                            raise SystemExit(f"bench: {who} at {kib} KiB saved other bytes")
                    elif os.path.getsize(saved) < os.path.getsize(source):
                        raise SystemExit("bench: the floor wrote less than the file")
                    r["largest_frame"] = largest[kib]
                    self.raw["save"].setdefault(str(kib), {}).setdefault(who, []).append(r)
                    shutil.rmtree(home)
            home, downloads = self.home("host")
            r = self.run("stream", quarter, self.command("host", "save", downloads), home)
            self.raw["rss_flat"].setdefault("quarter", []).append(r["maxrss_kib"])
            self.raw["rss_flat"]["chunk_kib"] = flat_kib
            shutil.rmtree(home)
            # The same file over the channel, and its floor: the bytes from a plain socket.
            for who in self.order(["host", "floor"]):
                home, downloads = self.home(who)
                if who == "host":
                    r = self.run("channel", source, self.command("host", "", downloads), home,
                                 extra=[ORIGIN])
                    if r["last"] != expected:
                        raise SystemExit(f"bench: the host's channel save ended {r['last']}")
                    saved = os.path.join(downloads, "video.bin")
                else:
                    r = self.run("tcp", source, self.command("floor", "socket", downloads), home)
                    saved = os.path.join(downloads, "floor.bin")
                if run == 0 and not filecmp.cmp(saved, source, shallow=False):
                    raise SystemExit(f"bench: {who} saved other bytes from the socket")
                self.raw["channel"].setdefault(who, []).append(r)
                shutil.rmtree(home)
        for path in list(frames.values()) + [quarter, source]:
            os.remove(path)

    # 4: small messages over one port, and one message per process.
    def messages(self):
        sizes = self.sizes
        home, downloads = self.home("small")
        for name in ["clip.mp4", "clip (1).mp4", "notes.txt", "a.pdf", "b.png", "c.zip"]:
            open(os.path.join(downloads, name), "w").close()
        echo = os.path.join(self.work, "echo.frames")
        repeated_frames(echo, ['{"type":"ping","n":%d}' % i for i in range(sizes["messages"])])
        exists = os.path.join(self.work, "exists.frames")
        repeated_frames(exists, ['{"type":"file.exists","name":"clip.mp4"}'] * sizes["messages"])
        for run in range(sizes["runs"]):
            # file.exists has a floor too: a program that lists the folder once per message.
            for job, frames, who_all in [("echo", echo, ["host", "peer"]),
                                         ("exists", exists, ["host", "floor", "peer"])]:
                for who in self.order(who_all):
                    r = self.run("burst", frames, self.command(who, "list", downloads), home)
                    if r["replies"] != sizes["messages"]:
                        raise SystemExit(f"bench: {who} answered {r['replies']} {job} messages")
                    self.raw["messages"].setdefault(job, {}).setdefault(who, []).append(
                        (r["replies"] - 1) / r["span"])
        # One message per process, in blocks so that the two take turns.
        blocks = 4 if sizes["oneshot_runs"] >= 40 else 1
        per_block = -(-sizes["oneshot_runs"] // blocks)
        for _ in range(blocks):
            for who in self.order(["host", "peer"]):
                r = self.run("oneshot", exists, self.command(who, "", downloads), home, per_block)
                if r["last"] != '{"exists":true,"name":"clip.mp4"}':
                    raise SystemExit(f"bench: {who} answered {r['last']} to one file.exists")
                self.raw["oneshot"].setdefault(who, []).extend(r["times"])

    # 5: lookup in a large Downloads folder.
    def lookup(self):
        sizes = self.sizes
        home, downloads = self.home("big")
        fill_folder(downloads, sizes["lookup_entries"])
        after = int(time.time() * 1000)
        frames = os.path.join(self.work, "lookup.frames")
        repeated_frames(frames, ['{"type":"file.exists","name":"clip.mp4","after":%d}' % after]
                        * sizes["lookup_queries"])
        for run in range(sizes["runs"]):
            for who in self.order(["host", "floor", "peer"]):
                r = self.run("lockstep", frames, self.command(who, "list", downloads), home)
                if who != "floor" and r["last"] != '{"exists":true,"name":"clip.mp4"}':
                    raise SystemExit(f"bench: {who} answered {r['last']} in the large folder")
                self.raw["lookup"].setdefault(who, []).extend(r["times"])

    def close(self):
        shutil.rmtree(self.work, ignore_errors=True)


def median(values):
    return statistics.median(values)


def p95(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]


def size_label(kib):
    return f"{kib // 1024} MiB" if kib >= 1024 else f"{kib} KiB"


def summarize(raw, sizes):
    """Medians, ratios and the verdict against each target."""
    file_mib = sizes["file_mib"]
    rows, chart = [], []

    def row(figure, host, floor, peer, ratio, target, met):
        rows.append(dict(figure=figure, host=host, floor=floor, peer=peer, ratio=ratio,
                         target=target, met=met))

    largest_frame = 0
    for kib in sizes["chunks_kib"]:
        runs = raw["save"][str(kib)]
        mibs = {w: median([file_mib / r["wall"] for r in runs[w]]) for w in runs}
        cpu = {w: median([(r["user"] + r["sys"]) / (file_mib / 1024) for r in runs[w]])
               for w in runs}
        rss = {w: median([r["maxrss_kib"] / 1024 for r in runs[w]]) for w in runs}
        frame_mib = runs["host"][0]["largest_frame"] / MiB
        largest_frame = max(largest_frame, frame_mib)
        chart.append((kib, mibs["host"], mibs["floor"], mibs["peer"]))
        ratio = mibs["host"] / mibs["floor"]
        size = size_label(kib)
        gated = kib >= 1024
        row(f"save {size} chunks: MiB/s", mibs["host"], mibs["floor"], mibs["peer"],
            f"{ratio:.2f} of floor", ">= 0.85 of floor" if gated else "(none below 1 MiB)",
            (ratio >= 0.85) if gated else None)
        cratio, pratio = cpu["host"] / cpu["floor"], cpu["host"] / cpu["peer"]
        row(f"save {size} chunks: CPU s/GiB", cpu["host"], cpu["floor"], cpu["peer"],
            f"{cratio:.2f}x floor, {pratio:.2f}x peer", "<= 1.3x floor, <= 0.33x peer",
            cratio <= 1.3 and pratio <= 1 / 3)
        limit = 2 * frame_mib + 8
        row(f"save {size} chunks: peak RSS MiB", rss["host"], rss["floor"], rss["peer"],
            f"limit {limit:.1f}", "<= 2 x frame + 8 MiB", rss["host"] <= limit)
    channel = raw["channel"]
    mibs = {w: median([file_mib / r["wall"] for r in channel[w]]) for w in channel}
    cpu = {w: median([(r["user"] + r["sys"]) / (file_mib / 1024) for r in channel[w]])
           for w in channel}
    row("save over the channel, 8 MiB messages: MiB/s", mibs["host"], mibs["floor"], None,
        f"{mibs['host'] / mibs['floor']:.2f} of floor", "", None)
    ratio = cpu["host"] / cpu["floor"]
    row("save over the channel, 8 MiB messages: CPU s/GiB", cpu["host"], cpu["floor"], None,
        f"{ratio:.2f}x floor", "<= 1.3x floor (the bytes from a plain socket)", ratio <= 1.3)
    flat = raw["rss_flat"]
    kib = flat["chunk_kib"]
    full = median([r["maxrss_kib"] for r in raw["save"][str(kib)]["host"]]) / 1024
    quarter = median(flat["quarter"]) / 1024
    row(f"peak RSS MiB, {size_label(kib)} chunks: quarter file vs whole", quarter, None, None, f"whole {full:.1f}", "flat (+/- 1 MiB)",
        abs(full - quarter) <= 1.0)
    for job, label in [("echo", "echo"), ("exists", "file.exists, small folder")]:
        m = {w: median(v) for w, v in raw["messages"][job].items()}
        ratio = m["host"] / m["peer"]
        text, met = f"{ratio:.1f}x peer", ratio >= 10
        if "floor" in m:
            reach = m["floor"] / m["peer"]
            text += f", {m['host'] / m['floor']:.2f} of floor; floor {reach:.1f}x peer"
            if not met and reach < 10:
                met = "out of reach: floor < 10x peer"
        row(f"port: {label}, messages/s", m["host"], m.get("floor"), m["peer"], text,
            ">= 10x peer", met)
    one = raw["oneshot"]
    med = {w: median(v) * 1000 for w, v in one.items()}
    ratio = med["peer"] / med["host"]
    row(f"one-shot file.exists: median ms ({len(one['host'])} runs)", med["host"], None,
        med["peer"], f"{ratio:.1f}x faster", ">= 10x faster than peer", ratio >= 10)
    row("one-shot file.exists: p95 ms", p95(one["host"]) * 1000, None, p95(one["peer"]) * 1000,
        "", "", None)
    look = {w: median(v) * 1000 for w, v in raw["lookup"].items()}
    fr, pr = look["host"] / look["floor"], look["peer"] / look["host"]
    reach = look["peer"] / look["floor"]
    met = fr <= 1.5 and pr >= 5
    if not met and fr <= 1.5 and reach < 5:
        met = "floor part yes; 5x out of reach: floor < 5x faster than peer"
    row(f"lookup with after, {sizes['lookup_entries']} entries: ms", look["host"], look["floor"],
        look["peer"],
        f"{fr:.2f}x floor, {pr:.1f}x faster than peer; floor {reach:.1f}x faster than peer",
        "<= 1.5x floor, >= 5x faster than peer", met)
    return rows, chart


def fmt(value):
    if value is None:
        return ""
    if value >= 100:
        return f"{value:,.0f}"
    return f"{value:.3g}" if value < 10 else f"{value:.1f}"


def markdown(rows, machine):
    load = (f" Load average {machine['load_before'][0]:.1f} before and "
            f"{machine['load_after'][0]:.1f} after: the machine's two cores are shared."
            if "load_after" in machine else "")
    lines = [f"Measured {machine['date']} on {machine['summary']}.{load}", "",
             "| figure | host | floor | peer | ratio | target | met |",
             "|---|---:|---:|---:|---|---|---|"]
    for r in rows:
        if isinstance(r["met"], str):
            met = r["met"]
        else:
            met = "" if r["met"] is None else ("yes" if r["met"] else "**no**")
        lines.append(f"| {r['figure']} | {fmt(r['host'])} | {fmt(r['floor'])} | "
                     f"{fmt(r['peer'])} | {r['ratio']} | {r['target']} | {met} |")
    return "\n".join(lines) + "\n"


def chart_png(chart, path, work):
    data = os.path.join(work, "throughput.dat")
    with open(data, "w") as f:
        for kib, host, floor, peer in chart:
            f.write(f"{kib} {host} {floor} {peer}\n")
    labels = ", ".join(f'"{size_label(k)}" {k}' for k, *_ in chart)
    script = f"""
set terminal pngcairo size 800,480 font ",11"
set output "{path}"
set title "Saving a file through the pipe"
set xlabel "chunk size"
set ylabel "MiB/s of file bytes"
set logscale x 2
set xrange [{chart[0][0] * 0.8}:{chart[-1][0] * 1.25}]
set xtics ({labels})
set yrange [0:*]
set key outside bottom center horizontal
set grid
plot "{data}" using 1:3 with linespoints title "floor", \\
     "{data}" using 1:2 with linespoints title "tamberlo-host", \\
     "{data}" using 1:4 with linespoints title "Python peer"
"""
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


def replace_table(readme, table):
    """Puts `table` between the README's two bench-table markers."""
    start, end = "<!-- bench-table:start -->\n", "<!-- bench-table:end -->"
    with open(readme) as f:
        text = f.read()
    if start not in text or end not in text:
        raise SystemExit(f"bench: {readme} has no bench-table markers")
    head, rest = text.split(start, 1)
    tail = rest.split(end, 1)[1]
    with open(readme, "w") as f:
        f.write(head + start + table + end + tail)


def machine_description(work):
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    fs = subprocess.run(["stat", "-f", "-c", "%T", work], capture_output=True,
                        text=True).stdout.strip()
    load = os.getloadavg()
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "cpu": cpu, "cores": os.cpu_count(), "memory_gib": round(mem, 1),
        "kernel": platform.release(), "folder_fs": fs, "load_before": load,
        "summary": f"{cpu}, {os.cpu_count()} cores, {mem:.0f} GiB, Linux {platform.release()}, "
                   f"Downloads on {fs}",
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build folder with the host and bench")
    parser.add_argument("--out", required=True, help="folder for the table, JSON and chart")
    parser.add_argument("--work", default="/dev/shm" if os.access("/dev/shm", os.W_OK) else None,
                        help="where the Downloads folders and frames go (default: a tmpfs)")
    parser.add_argument("--quick", action="store_true", help="small sizes, one run")
    parser.add_argument("--runs", type=int, help="runs per figure")
    parser.add_argument("--only", help="comma-separated: save,messages,lookup")
    parser.add_argument("--readme", help="a README whose measured table to replace")
    args = parser.parse_args()
    sizes = dict(QUICK if args.quick else FULL)
    if args.runs:
        sizes["runs"] = args.runs
    jobs = (args.only or "save,messages,lookup").split(",")
    os.makedirs(args.out, exist_ok=True)
    bench = Bench(args, sizes)
    machine = machine_description(bench.work)
    try:
        started = time.time()
        for job in jobs:
            getattr(bench, job)()
            print(f"bench: {job} done after {time.time() - started:.0f} s", file=sys.stderr)
        machine["load_after"] = os.getloadavg()
        machine["seconds"] = round(time.time() - started)
        raw = dict(bench.raw, machine=machine, sizes=sizes)
        with open(os.path.join(args.out, "bench.json"), "w") as f:
            json.dump(raw, f, indent=1)
        if set(jobs) >= {"save", "messages", "lookup"}:
            rows, chart = summarize(bench.raw, sizes)
            table = markdown(rows, machine)
            with open(os.path.join(args.out, "bench.md"), "w") as f:
                f.write(table)
            chart_png(chart, os.path.join(args.out, "throughput.png"), bench.work)
            print(table)
            if args.readme:
                replace_table(args.readme, table)
    finally:
        bench.close()


if __name__ == "__main__":
    main()
