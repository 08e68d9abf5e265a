#!/usr/bin/python3
"""Soak of the whole chain: a synthetic source at 1,000 frames/s into the
recorder and the bridge at once (the bridge forwarding to the stand-in
service), and a 1-hour take replayed in a loop at 10x into a counting
socket. Every 10 s it samples each program's resident memory, CPU and open
descriptors, the datagrams the kernel dropped and the frames forwarded; at
the end it checks the aims (memory and descriptors flat after the first
minute, growth under 1 MiB; no datagram lost; every frame forwarded).

    bench/soak/soak.py --build-dir build [--minutes 10] [--interval 10] [--take-minutes 60]
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

FRAME_BYTES = 1860
SOURCE_HZ = 1000
TAKE_HZ = 120
REPLAY_RATE = 10
CLOCK_TICKS = os.sysconf('SC_CLK_TCK')
GROWTH_AIM_KIB = 1024


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def proc_figures(pid):
    """Resident KiB, CPU seconds so far and open descriptors of a process."""
    try:
        with open(f'/proc/{pid}/status') as status:
            rss = next(int(line.split()[1]) for line in status if line.startswith('VmRSS:'))
        with open(f'/proc/{pid}/stat') as stat:
            fields = stat.read().rsplit(')', 1)[1].split()
        cpu = (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
        fds = len(os.listdir(f'/proc/{pid}/fd'))
        return rss, cpu, fds
    except (OSError, StopIteration):
        return None


def udp_drops(port):
    """Datagrams the kernel dropped at the socket bound to `port` (any address)."""
    wanted = f':{port:04X}'
    for table in ('/proc/net/udp', '/proc/net/udp6'):
        try:
            with open(table) as lines:
                for line in list(lines)[1:]:
                    fields = line.split()
                    if fields[1].endswith(wanted):
                        return int(fields[12])
        except OSError:
            pass
    return 0


def count_lines(path, prefix):
    with open(path, 'rb') as text:
        return sum(1 for line in text if line.startswith(prefix))


def last_number_after(path, marker, tail_bytes=8192):
    """The number that follows the last `marker` in the file's tail."""
    with open(path, 'rb') as text:
        text.seek(0, os.SEEK_END)
        text.seek(max(0, text.tell() - tail_bytes))
        chunk = text.read()
    at = chunk.rfind(marker)
    if at < 0:
        return 0
    return int(chunk[at + len(marker):].split()[0])


class Sink(threading.Thread):
    """Counts the datagrams of the replay."""

    def __init__(self):
        super().__init__(daemon=True)
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self.socket.bind(('127.0.0.1', 0))
        self.socket.settimeout(0.5)
        self.port = self.socket.getsockname()[1]
        self.count = 0
        self.running = True

    def run(self):
        while self.running:
            try:
                self.socket.recv(4096)
                self.count += 1
            except socket.timeout:
                pass


def start(work, name, command):
    out = open(os.path.join(work, name + '.out'), 'wb')
    err = open(os.path.join(work, name + '.err'), 'wb')
    return subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err)


def wait_for_text(path, text, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, 'rb') as log:
            content = log.read()
        if text in content:
            return content
        time.sleep(0.1)
    raise SystemExit(f'timed out waiting for {text!r} in {path}')


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--build-dir', default='build')
    parser.add_argument('--minutes', type=float, default=10)
    parser.add_argument('--interval', type=float, default=10)
    parser.add_argument('--take-minutes', type=float, default=60, help='length of the replayed take')
    parser.add_argument('--work-dir', help='keep logs, take and recording here (default: a temporary directory)')
    args = parser.parse_args()
    binaries = os.path.join(os.path.abspath(args.build_dir), 'bin')
    work = args.work_dir or tempfile.mkdtemp(prefix='nimbra-soak-')
    os.makedirs(os.path.join(work, 'rec'), exist_ok=True)
    # A work directory kept from an earlier run keeps its take, not its recordings.
    for old in os.listdir(os.path.join(work, 'rec')):
        os.remove(os.path.join(work, 'rec', old))

    def program(name):
        return os.path.join(binaries, name)

    take = os.path.join(work, 'take.bin')
    take_frames = int(args.take_minutes * 60 * TAKE_HZ)
    if not os.path.exists(take) or os.path.getsize(take) != take_frames * FRAME_BYTES:
        print(f'Writing a {args.take_minutes:g}-minute take at {TAKE_HZ} Hz ({take_frames} frames) ...', flush=True)
        subprocess.run([program('nimbra_mocap_synth'), '-o', take, '--rate', str(TAKE_HZ),
                        '--duration', str(args.take_minutes * 60)], check=True, stderr=subprocess.DEVNULL)

    bridge_port, recorder_port = free_udp_port(), free_udp_port()
    sink = Sink()
    sink.start()
    programs = {}
    programs['stub'] = start(work, 'stub', [program('nimbra_skelora_stub'), '--port', '0'])
    stub_log = wait_for_text(os.path.join(work, 'stub.err'), b'listening on ws://')
    url = stub_log[stub_log.index(b'ws://'):].split()[0].decode()
    programs['bridge'] = start(work, 'bridge', [program('nimbra_skelora_bridge'), '--port', str(bridge_port),
                                                '--url', url])
    wait_for_text(os.path.join(work, 'bridge.err'), b'Skelora is ready at')
    programs['recorder'] = start(work, 'recorder', [program('nimbra_reeltake'), '--port', str(recorder_port),
                                                    '-d', os.path.join(work, 'rec')])
    wait_for_text(os.path.join(work, 'recorder.err'), b'Recording UDP datagrams on')
    programs['replay'] = start(work, 'replay', [program('nimbra_reelcast'), take, '--ip', '127.0.0.1',
                                                '--port', str(sink.port), '--rate', str(REPLAY_RATE), '--loop'])
    # Two sources with the same seed send the same frames, one to each
    # receiver, at the same rate.
    for name, port in (('source_bridge', bridge_port), ('source_recorder', recorder_port)):
        programs[name] = start(work, name, [program('nimbra_mocap_synth'), '--ip', '127.0.0.1', '--port', str(port),
                                            '--rate', str(SOURCE_HZ), '--duration', '0'])

    watched = ['bridge', 'recorder', 'replay', 'stub', 'source_bridge', 'source_recorder']
    samples = []
    begin = time.monotonic()
    previous = {name: proc_figures(programs[name].pid) for name in watched}
    previous_time = begin
    print(f'Soak for {args.minutes:g} min, a sample every {args.interval:g} s; work files in {work}', flush=True)
    header = 't(s)  ' + '  '.join(f'{name}:RSS KiB/CPU%/fds' for name in watched) + \
        '  drops(bridge,recorder,sink)  decoded  forwarded  recorded  replayed'
    print(header, flush=True)
    while time.monotonic() - begin < args.minutes * 60:
        time.sleep(max(0.0, args.interval - (time.monotonic() - begin) % args.interval))
        now = time.monotonic()
        row = {'t': now - begin}
        for name in watched:
            figures = proc_figures(programs[name].pid)
            if figures is None or previous[name] is None:
                raise SystemExit(f'{name} is gone; see {work}/{name}.err')
            rss, cpu, fds = figures
            row[name] = (rss, 100.0 * (cpu - previous[name][1]) / (now - previous_time), fds)
            previous[name] = figures
        previous_time = now
        row['drops'] = (udp_drops(bridge_port), udp_drops(recorder_port), udp_drops(sink.port))
        row['decoded'] = last_number_after(os.path.join(work, 'bridge.err'), b'Mocap frame ')
        row['forwarded'] = count_lines(os.path.join(work, 'stub.out'), b'pose_frame ')
        recordings = [os.path.join(work, 'rec', f) for f in os.listdir(os.path.join(work, 'rec'))]
        row['recorded'] = sum(os.path.getsize(f) for f in recordings) // FRAME_BYTES
        row['replayed'] = sink.count
        samples.append(row)
        print(f"{row['t']:5.0f}  " + '  '.join(f'{row[n][0]}/{row[n][1]:.1f}/{row[n][2]}' for n in watched) +
              f"  {row['drops']}  {row['decoded']}  {row['forwarded']}  {row['recorded']}  {row['replayed']}",
              flush=True)

    # Sources first, then let the receivers drain before they stop.
    for name in ('source_bridge', 'source_recorder'):
        programs[name].send_signal(signal.SIGINT)
        programs[name].wait(20)
    time.sleep(2)
    for name in ('replay', 'recorder', 'bridge', 'stub'):
        programs[name].send_signal(signal.SIGTERM)
        programs[name].wait(20)
    sink.running = False

    sent = {name: last_number_after(os.path.join(work, name + '.err'), b'Sent ')
            for name in ('source_bridge', 'source_recorder')}
    decoded = last_number_after(os.path.join(work, 'bridge.err'), b'Stopped: ')
    forwarded = count_lines(os.path.join(work, 'stub.out'), b'pose_frame ')
    recordings = [os.path.join(work, 'rec', f) for f in os.listdir(os.path.join(work, 'rec'))]
    recorded = sum(os.path.getsize(f) for f in recordings) // FRAME_BYTES

    print()
    print('Figures after the first minute (growth: last sample minus the first sample at or after 60 s):')
    print('| program | RSS at 1 min (KiB) | RSS at end (KiB) | growth (KiB) | max CPU % | mean CPU % '
          '| fds at 1 min | fds at end |')
    print('|---|---|---|---|---|---|---|---|')
    settled = [row for row in samples if row['t'] >= 60] or samples[-1:]
    met = True
    for name in watched:
        first, last = settled[0][name], settled[-1][name]
        cpus = [row[name][1] for row in samples]
        growth = last[0] - first[0]
        flat = growth < GROWTH_AIM_KIB and last[2] == first[2]
        if name in ('bridge', 'recorder', 'replay', 'stub'):
            met &= flat
        print(f'| {name} | {first[0]} | {last[0]} | {growth} | {max(cpus):.1f} | {sum(cpus) / len(cpus):.1f} '
              f'| {first[2]} | {last[2]} |')
    drops = samples[-1]['drops']
    print()
    print(f"Source to bridge: {sent['source_bridge']} sent, {decoded} decoded, {forwarded} forwarded to the service "
          f"({sent['source_bridge'] - decoded} lost, {decoded - forwarded} not forwarded)")
    print(f"Source to recorder: {sent['source_recorder']} sent, {recorded} recorded "
          f"({sent['source_recorder'] - recorded} lost)")
    print(f'Replay at {REPLAY_RATE}x: {sink.count} datagrams received; kernel drops at bridge, recorder, '
          f'replay sink: {drops}')
    met &= sent['source_bridge'] == decoded == forwarded and sent['source_recorder'] == recorded
    met &= drops == (0, 0, 0)
    load = os.getloadavg()
    print(f'Load average at the end: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} on {os.cpu_count()} CPUs')
    print('Aims met' if met else 'Aims NOT met')
    return 0 if met else 1


if __name__ == '__main__':
    sys.exit(main())
