#!/usr/bin/env python3
"""Runs every benchmark of bench/ several times and prints one table: our
figure and the reference tool's figure measured in the same run (median,
minimum, maximum), their ratio, the aim and whether it is met. bench/run.sh
builds the programs and calls this; the table also goes to a markdown file.
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

LOWER = "lower"
HIGHER = "higher"


class Row:
    """One line of the table: samples of ours and of the reference tool."""

    def __init__(self, name, unit, better, aim_text="", aim=None, anchor_name=""):
        self.name = name
        self.unit = unit
        self.better = better
        self.aim_text = aim_text
        self.aim = aim  # function(ours: Stats, anchor: Stats or None) -> bool
        self.anchor_name = anchor_name
        self.ours = []
        self.anchor = []
        self.failures = []


class Stats:
    def __init__(self, values):
        self.values = values
        self.median = statistics.median(values)
        self.min = min(values)
        self.max = max(values)


def stats(values):
    return Stats(values) if values else None


class Bench:
    def __init__(self, build_dir, root, quick, realtime, log_dir):
        self.bin = os.path.join(build_dir, "bin")
        self.build_dir = build_dir
        self.root = root
        self.quick = quick
        self.realtime = realtime
        self.log_dir = log_dir
        self.rows = {}
        self.order = []
        self.notes = []
        self.logs_started = set()

    def row(self, key, *args, **kwargs):
        if key not in self.rows:
            self.rows[key] = Row(*args, **kwargs)
            self.order.append(key)
        return self.rows[key]

    def run(self, name, command, timeout):
        """Runs one benchmark program; returns (exit status, standard output)."""
        print(f"  {' '.join(command)}", file=sys.stderr, flush=True)
        started = time.monotonic()
        try:
            done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                  timeout=timeout, text=True, errors="replace")
            status, output = done.returncode, done.stdout
        except subprocess.TimeoutExpired as expired:
            output = expired.stdout or ""
            if isinstance(output, bytes):
                output = output.decode(errors="replace")
            status, output = -1, output + f"\n(killed after {timeout} s)\n"
        # Each log holds the runs of this invocation only.
        mode = "a" if name in self.logs_started else "w"
        self.logs_started.add(name)
        with open(os.path.join(self.log_dir, name + ".log"), mode) as log:
            log.write(f"$ {' '.join(command)}\n{output}\n(exit {status}, {time.monotonic() - started:.1f} s)\n\n")
        return status, output

    def program(self, name):
        return os.path.join(self.bin, name)

    # Replay timing: ours and the pcap replayer, same frames, same receiver.
    def replay_timing(self, repeat):
        seconds = 5 if self.quick else 10
        have_anchor = shutil.which("tcpreplay") is not None and os.geteuid() == 0
        tools = "reelcast,tcpreplay" if have_anchor else "reelcast"
        if not have_anchor:
            self.notes.append("replay timing: tcpreplay missing or not root, no reference figures")
        command = [self.program("bench_replay_timing"), "--ip", "::1", "--tools", tools, "--hz", "120,1000",
                   "--seconds", str(seconds), "--repeat", str(repeat)]
        if self.realtime:
            command = ["chrt", "-f", "10"] + command
        status, output = self.run("replay_timing", command, timeout=repeat * 2 * 2 * (4 * seconds + 15) + 60)
        for hz in (120, 1000):
            label = f"replay timing {hz} Hz"
            rows = {
                "median": self.row(f"replay-{hz}-median", f"{label}: median of |arrival - ideal|", "ms", LOWER,
                                   "≤ 0.5 ms and below tcpreplay",
                                   lambda o, a: o.median <= 0.5 and (a is None or o.median < a.median), "tcpreplay"),
                "p99": self.row(f"replay-{hz}-p99", f"{label}: 99th percentile of |arrival - ideal|", "ms", LOWER,
                                "≤ 1.5 ms and below tcpreplay",
                                lambda o, a: o.median <= 1.5 and (a is None or o.median < a.median), "tcpreplay"),
                "drift": self.row(f"replay-{hz}-drift", f"{label}: drift (absolute)", "ppm", LOWER,
                                  "≤ 100 ppm and below tcpreplay",
                                  lambda o, a: o.median <= 100 and (a is None or o.median < a.median), "tcpreplay"),
            }
            for line in output.splitlines():
                fields = line.split()
                if len(fields) != 11 or fields[1] != str(hz) or fields[0] not in ("reelcast", "tcpreplay"):
                    continue
                complete = fields[3] == fields[4] and fields[10] == "0"
                for key, column in (("median", 5), ("p99", 6), ("drift", 8)):
                    row = rows[key]
                    if not complete:
                        row.failures.append(f"{fields[0]}: received {fields[4]} of {fields[3]}, exit {fields[10]}")
                        continue
                    value = abs(float(fields[column]))
                    (row.ours if fields[0] == "reelcast" else row.anchor).append(value)
        if status not in (0, 1):
            self.notes.append(f"replay timing: the benchmark ended with {status}")

    # Recorder loss: ours and the packet recorder, alternating runs.
    def recorder_loss(self, repeat):
        scenarios = [("10000", 3 if self.quick else 10), ("50000", 2 if self.quick else 4),
                     ("100000", 2 if self.quick else 4), ("max", 2 if self.quick else 4)]
        have_anchor = shutil.which("tcpdump") is not None and os.geteuid() == 0
        tools = "reeltake,tcpdump" if have_anchor else "reeltake"
        if not have_anchor:
            self.notes.append("recorder loss: tcpdump missing or not root, no reference figures")
        command = [os.path.join(self.root, "bench", "recorder_loss", "run.sh"), "--tools", tools, "--repeat",
                   str(repeat), self.build_dir] + [f"{rate}:{seconds}" for rate, seconds in scenarios]
        total = sum(seconds for _, seconds in scenarios)
        status, output = self.run("recorder_loss", command, timeout=repeat * 2 * (total + len(scenarios) * 20) + 120)
        names = {"10000": "10,000/s", "50000": "50,000/s", "100000": "100,000/s", "max": "full speed (one sender)"}
        rows = {}
        for rate, _ in scenarios:
            if rate == "max":
                aim_text, aim = "no more than tcpdump", lambda o, a: a is None or o.median <= a.median
            else:
                aim_text, aim = "0 in every run", lambda o, a: o.max == 0
            rows[rate] = self.row(f"recorder-{rate}", f"recorder loss at {names[rate]}, 1,860-byte datagrams",
                                  "% lost", LOWER, aim_text, aim, "tcpdump -w")
        speed = self.row("recorder-max-rate", "full speed: datagrams sent per second", "1/s", HIGHER,
                         anchor_name="tcpdump -w")
        for line in output.splitlines():
            fields = line.split()
            if len(fields) != 11 or fields[0] not in ("reeltake", "tcpdump") or fields[1] not in rows:
                continue
            ours = fields[0] == "reeltake"
            row = rows[fields[1]]
            (row.ours if ours else row.anchor).append(float(fields[6]))
            if fields[1] == "max":
                (speed.ours if ours else speed.anchor).append(int(fields[3]) / float(fields[2]))
        if status not in (0, 1):
            self.notes.append(f"recorder loss: the benchmark ended with {status}")

    def decoder(self, repeat):
        per_byte = self.row("decoder-byte", "decoder MB/s, feed() per byte, vs zlib crc32", "MB/s", HIGHER,
                            "≥ 300 MB/s", lambda o, a: o.median >= 300, "zlib crc32")
        per_datagram = self.row("decoder-datagram", "decoder MB/s, feed() per datagram, vs zlib crc32", "MB/s",
                                HIGHER, "≥ 300 MB/s", lambda o, a: o.median >= 300, "zlib crc32")
        for _ in range(repeat):
            status, output = self.run("decoder_throughput", [self.program("bench_decoder_throughput")], 600)
            found = {}
            for line in output.splitlines():
                match = re.match(r"^(.*?)\s+([0-9.]+) MB/s", line)
                if match:
                    found[match.group(1).strip()] = float(match.group(2))
            if status != 0 or "zlib crc32" not in found:
                per_byte.failures.append(f"exit {status}")
                continue
            per_byte.ours.append(found["decoder, feed() per byte"])
            per_datagram.ours.append(found["decoder, feed() per datagram"])
            per_byte.anchor.append(found["zlib crc32"])
            per_datagram.anchor.append(found["zlib crc32"])

    def bridge(self, repeat):
        capacity = self.row("bridge-capacity", "bridge frames/s on one core (from its CPU time per frame)",
                            "frames/s", HIGHER, "≥ 25,000", lambda o, a: o.median >= 25000)
        wall = self.row("bridge-wall", "bridge frames/s forwarded, wall clock, 32 in flight", "frames/s", HIGHER,
                        "≥ 10,000", lambda o, a: o.median >= 10000)
        median = self.row("bridge-median", "bridge datagram-to-service latency at 120 Hz, median", "ms", LOWER)
        p99 = self.row("bridge-p99", "bridge datagram-to-service latency at 120 Hz, 99th percentile", "ms", LOWER,
                       "≤ 1 ms", lambda o, a: o.median <= 1)
        arguments = ["--frames", "600", "--seconds", "2"] if self.quick else []
        for _ in range(repeat):
            status, output = self.run("bridge_throughput", [self.program("bench_bridge_throughput")] + arguments, 600)
            latency = re.search(r"median ([0-9.]+) ms, p99 ([0-9.]+) ms", output)
            forwarded = re.search(r"= ([0-9.]+) frames/s", output)
            per_core = re.search(r"i\.e\. ([0-9.]+) frames/s on one saturated core", output)
            if status != 0 or not (latency and forwarded and per_core):
                capacity.failures.append(f"exit {status}")
                continue
            bursts = re.search(r"in bursts: [0-9.]+ us, i\.e\. ([0-9.]+) frames/s", output)
            if bursts:
                self.row("bridge-bursts", "bridge frames/s on one core, frames sent in bursts (from its CPU time)",
                         "frames/s", HIGHER, "≥ 10,000", lambda o, a: o.median >= 10000).ours.append(
                             float(bursts.group(1)))
            median.ours.append(float(latency.group(1)))
            p99.ours.append(float(latency.group(2)))
            wall.ours.append(float(forwarded.group(1)))
            capacity.ours.append(float(per_core.group(1)))

    # The viewer with the offscreen platform and, when Xvfb is there, on a
    # virtual X server (painting plus the transfer of every changed region to
    # the server); the two alternate within each repetition.
    def viewer(self, repeat):
        platforms = [("offscreen", "offscreen platform", [])]
        if shutil.which("xvfb-run"):
            platforms.append(("x11", "X11 (Xvfb)", ["xvfb-run", "-a", "-s", "-screen 0 1280x800x24"]))
        else:
            self.notes.append("viewer: xvfb-run missing, no X11 row")
        arguments = ["--rates", "1000", "--seconds", "4" if self.quick else "10", "--warmup", "1" if self.quick else "2"]
        rows = {key: self.row(f"viewer-cpu-{key}", f"viewer CPU at 1,000 frames/s ({text})", "% of a core", LOWER,
                              "≤ 5 %", lambda o, a: o.median <= 5) for key, text, _ in platforms}
        for _ in range(repeat):
            for key, _, prefix in platforms:
                cpu = rows[key]
                status, output = self.run(f"jointscope_load_{key}",
                                          prefix + [self.program("jointscope_load")] + arguments, 300)
                values = [line.split() for line in output.splitlines() if line.split()[:1] == ["1000"]]
                if not values or len(values[0]) != 9:
                    cpu.failures.append(f"exit {status}")
                    continue
                cpu.ours.append(float(values[0][3]))
                if status != 0:
                    cpu.failures.append(f"{values[0][6]} datagram(s) dropped by the viewer's socket")

    def tui_print(self, repeat):
        plain = self.row("tui-plain", "Tui::print, one thread, no console", "ns/call", LOWER)
        console = self.row("tui-console", "Tui::print, one thread, console drawing into a pty", "ns/call", LOWER)
        arguments = ["200000"] if self.quick else []
        for _ in range(repeat):
            status, output = self.run("tui_print", [self.program("bench_tui_print")] + arguments, 600)
            for row, what in ((plain, "no console, prints recorded"), (console, "console running (pty, 50 ms)")):
                match = re.search(re.escape(what) + r"\s+threads 1\s+median\s+([0-9.]+) ns/call", output)
                if status == 0 and match:
                    row.ours.append(float(match.group(1)))
                else:
                    row.failures.append(f"exit {status}")

    def pose_frame_json(self, repeat):
        reused = self.row("json-reused", "pose_frame message (64 joints), the bridge's writer", "us/message", LOWER)
        fresh = self.row("json-fresh", "pose_frame message (64 joints), fresh library document", "us/message", LOWER)
        # Older builds print "reused document:" and "fresh document:", newer
        # ones the writer's and the library's CPU time per message.
        patterns = ((reused, r"(?:reused document|PoseFrameWriter):\s+([0-9.]+) us"),
                    (fresh, r"(?:fresh document|library document and dump):\s+([0-9.]+) us"))
        for _ in range(repeat):
            status, output = self.run("pose_frame_json", [self.program("bench_pose_frame_json"),
                                                          "1000" if self.quick else "3000"], 600)
            for row, pattern in patterns:
                match = re.search(pattern, output)
                if status == 0 and match:
                    row.ours.append(float(match.group(1)))
                else:
                    row.failures.append(f"exit {status}")

    # Recording playback through the library, against a relative timer.
    def binary_playback(self, repeat):
        if not os.path.exists(self.program("bench_binary_playback")):
            self.notes.append("recording playback: bench_binary_playback not in this build")
            return
        seconds = 5
        status, output = self.run("binary_playback", [self.program("bench_binary_playback"), "--hz", "120,1000",
                                                      "--seconds", str(seconds), "--repeat", str(repeat),
                                                      "--compare"], repeat * 2 * 2 * (2 * seconds + 10) + 60)
        for hz in (120, 1000):
            label = f"recording playback {hz} Hz (library, in process)"
            rows = {
                "median": self.row(f"playback-{hz}-median", f"{label}: median of |emission - ideal|", "ms", LOWER,
                                   anchor_name="relative timer"),
                "p99": self.row(f"playback-{hz}-p99", f"{label}: 99th percentile of |emission - ideal|", "ms",
                                LOWER, anchor_name="relative timer"),
                "drift": self.row(f"playback-{hz}-drift", f"{label}: drift (absolute)", "ppm", LOWER,
                                  anchor_name="relative timer"),
            }
            for line in output.splitlines():
                fields = line.split()
                if len(fields) != 11 or fields[1] != str(hz) or fields[0] not in ("absolute", "relative"):
                    continue
                for key, column in (("median", 5), ("p99", 6), ("drift", 8)):
                    row = rows[key]
                    if fields[3] != fields[4]:
                        row.failures.append(f"{fields[0]}: emitted {fields[4]} of {fields[3]}")
                        continue
                    (row.ours if fields[0] == "absolute" else row.anchor).append(abs(float(fields[column])))
        if status not in (0, 1):
            self.notes.append(f"recording playback: the benchmark ended with {status}")

    def seek(self, repeat):
        wall = self.row("seek-wall", "seek to 0.9 in a 1 GB recording, wall time (file in page cache)", "ms", LOWER)
        cpu = self.row("seek-cpu", "seek to 0.9 in a 1 GB recording, CPU time", "ms", LOWER)
        status, output = self.run("seek", [self.program("bench_seek"), "--cache", os.path.join(self.build_dir, "cache"),
                                           "--repeat", str(repeat)], 3600)
        for line in output.splitlines():
            fields = line.split()
            if len(fields) == 5 and fields[0].isdigit():
                wall.ours.append(float(fields[1]))
                cpu.ours.append(float(fields[2]))
        if status != 0:
            wall.failures.append(f"exit {status}")


def number(value, unit):
    if value is None:
        return ""
    if unit in ("frames/s", "1/s", "MB/s") or abs(value) >= 1000:
        return f"{value:,.0f}"
    if abs(value) >= 100:
        return f"{value:.1f}"
    if abs(value) >= 10:
        return f"{value:.2f}"
    return f"{value:.3f}"


def figure(s, unit):
    if s is None:
        return "—"
    return f"{number(s.median, unit)} ({number(s.min, unit)} – {number(s.max, unit)})"


def table(bench):
    header = ["Benchmark", "Unit", "Ours: median (min – max)", "Reference: median (min – max)", "Ours / ref.",
              "Aim", "Met"]
    lines = []
    for key in bench.order:
        row = bench.rows[key]
        ours, anchor = stats(row.ours), stats(row.anchor)
        ratio = ""
        if ours and anchor and anchor.median != 0:
            ratio = f"{ours.median / anchor.median:.3g}"
        reference = f"{row.anchor_name}: {figure(anchor, row.unit)}" if row.anchor_name else "—"
        if row.aim is None:
            met = "—"
        elif ours is None:
            met = "no figure"
        else:
            met = "met" if row.aim(ours, anchor) else "NOT MET"
        if row.failures:
            met += f" ({len(row.failures)} failed run(s))"
        name = row.name + (f" [{len(row.ours)} runs]" if row.ours else "")
        lines.append([name, row.unit, figure(ours, row.unit), reference, ratio, row.aim_text or "—", met])
    return header, lines


def plain_table(header, lines):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *lines)]
    out = ["  ".join(cell.ljust(width) for cell, width in zip(header, widths))]
    out.append("  ".join("-" * width for width in widths))
    out += ["  ".join(cell.ljust(width) for cell, width in zip(line, widths)) for line in lines]
    return "\n".join(out)


def markdown_table(header, lines):
    out = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    out += ["| " + " | ".join(cell.replace("|", "\\|") for cell in line) + " |" for line in lines]
    return "\n".join(out)


def machine_notes(load_before):
    model = ""
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            model = next((line.split(":", 1)[1].strip() for line in cpuinfo if line.startswith("model name")), "")
    except OSError:
        pass
    load_after = os.getloadavg()
    return (f"{os.cpu_count()} CPUs ({model}), Linux {platform.release()}; load average "
            f"{load_before[0]:.1f} at the start, {load_after[0]:.1f} at the end (other work shares the machine)")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--quick", action="store_true", help="shorter runs (replay 5 s, fewer frames)")
    parser.add_argument("--realtime", action="store_true", help="replay timing with real-time priority (both players)")
    parser.add_argument("--repeat", type=int, default=3, help="runs per benchmark (at least 3)")
    parser.add_argument("--results", help="markdown file for the table (default: <build-dir>/bench-results.md)")
    parser.add_argument("--only", help="comma-separated subset: replay,playback,recorder,decoder,bridge,viewer,tui,"
                                       "json,seek")
    args = parser.parse_args()

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build_dir = os.path.abspath(args.build_dir)
    repeat = max(3, args.repeat)
    log_dir = os.path.join(build_dir, "bench-logs")
    os.makedirs(log_dir, exist_ok=True)
    results = args.results or os.path.join(build_dir, "bench-results.md")

    bench = Bench(build_dir, root, args.quick, args.realtime, log_dir)
    steps = [("replay", bench.replay_timing), ("playback", bench.binary_playback),
             ("recorder", bench.recorder_loss), ("decoder", bench.decoder),
             ("bridge", bench.bridge), ("viewer", bench.viewer), ("tui", bench.tui_print),
             ("json", bench.pose_frame_json), ("seek", bench.seek)]
    chosen = set(args.only.split(",")) if args.only else {name for name, _ in steps}
    load_before = os.getloadavg()
    started = datetime.datetime.now()
    for name, step in steps:
        if name in chosen:
            print(f"{name}:", file=sys.stderr, flush=True)
            step(repeat)
    minutes = (datetime.datetime.now() - started).total_seconds() / 60

    header, lines = table(bench)
    notes = [f"{started:%Y-%m-%d %H:%M}, {minutes:.0f} min, {'quick' if args.quick else 'full'} run, "
             f"{repeat} runs per benchmark{', replay with real-time priority' if args.realtime else ''}",
             machine_notes(load_before)] + bench.notes
    for key in bench.order:
        for failure in bench.rows[key].failures:
            notes.append(f"{bench.rows[key].name}: {failure}")
    print()
    print(plain_table(header, lines))
    print()
    for note in notes:
        print(f"- {note}")
    with open(results, "w") as out:
        out.write(f"# Benchmark results\n\n{markdown_table(header, lines)}\n\n")
        out.write("".join(f"- {note}\n" for note in notes))
        out.write(f"- logs of every run: {log_dir}\n")
    print(f"\ntable written to {results}, logs in {log_dir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
