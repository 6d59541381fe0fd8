#!/usr/bin/env python3
"""The RTSP bridge's cost and delay on loopback: tessomar-cli serve on the simulated DVR.

  bench/serve_bench.py BUILD_DIR [--seconds S] [--channels 1,4]

CPU: for each count N of channels, N ffmpeg clients read live/ch3.. (copying, no decoding)
for S seconds; the bridge's and its workers' CPU time over that window, divided by N, is the
share of one core a D1 channel costs (the simulator's encoding is not counted). Camera 1 is
measured once more on its own, with its sound.

Latency: one client reads live/ch3 as raw H.264; each NAL unit it receives is found again in
the bridge's --trace by its hash, which gives the time the DVR stamped on the picture, the time
the bridge pushed it and the time the client had it.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except OSError:
        return 0.0


def children(pid):
    """Child processes of any of the process's threads (workers are forked by client threads)."""
    out = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    out.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return out


def trace_lines(path):
    with open(path) as f:
        return sum(1 for _ in f)


def wait_line(proc, pattern, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        m = re.search(pattern, line)
        if m:
            return m
    sys.exit(f"no line matching {pattern!r}")


def fnv1a(data):
    h = 1469598103934665603
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


def receive_nals(url, seconds):
    """(hash, unix ms when the client had the NAL unit) for each NAL unit received."""
    p = subprocess.Popen(
        ["ffmpeg", "-v", "error", "-fflags", "nobuffer", "-rtsp_transport", "tcp", "-i", url,
         "-map", "0:v", "-c", "copy", "-flush_packets", "1", "-f", "h264", "-"],
        stdout=subprocess.PIPE)
    data = bytearray()
    chunks = []  # (end offset, arrival ms)
    end = time.time() + seconds
    while time.time() < end:
        chunk = os.read(p.stdout.fileno(), 65536)
        if not chunk:
            break
        data += chunk
        chunks.append((len(data), time.time() * 1000))
    p.kill()
    p.wait()
    out = []
    starts = [m.end() for m in re.finditer(b"\x00\x00\x01", bytes(data))]
    ci = 0
    for i, s in enumerate(starts[:-1]):
        e = starts[i + 1] - 3
        nal = bytes(data[s:e]).rstrip(b"\x00")
        last = s + len(nal) - 1
        while chunks[ci][0] <= last:
            ci += 1
        out.append((fnv1a(nal), chunks[ci][1]))
    return out


def percentiles(values):
    values = sorted(values)
    if not values:
        return "n/a"
    return (f"median {statistics.median(values):.0f} ms, p95 "
            f"{values[int(len(values) * 0.95) - 1]:.0f} ms, n={len(values)}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--channels", default="1,4")
    args = ap.parse_args()
    bin_dir = os.path.join(args.build, "bin")
    trace = tempfile.NamedTemporaryFile(prefix="serve-trace-", delete=False).name
    sim = subprocess.Popen([f"{bin_dir}/tessomar-dvrsim", "--listen", "127.0.0.1:0"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    serve = None
    clients = []
    try:
        address = wait_line(sim, r"listening on (\S+)").group(1)
        uk = wait_line(sim, r"DVR_UK=(\S+)").group(1)
        serve = subprocess.Popen(
            [f"{bin_dir}/tessomar-cli", "serve", "--dvr", address, "--uk", uk, "--rtsp",
             "127.0.0.1:0", "--max-sessions", "16", "--trace", trace],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        base = wait_line(serve, r"listening on (\S+)").group(1)

        # Latency first, on its own.
        received = receive_nals(base + "live/ch3", args.seconds)
        pushed = {}
        with open(trace) as f:
            for line in f:
                m = re.match(r"live/ch3 push_unix_ms=(\d+) picture_unix_ms=(-?\d+) nal=(\w+)", line)
                if m:
                    pushed.setdefault(int(m.group(3), 16), (int(m.group(1)), int(m.group(2))))
        dvr_to_bridge, bridge_to_client, total = [], [], []
        # The first second is left out: ffmpeg holds its first packets while it probes.
        for h, at in received[len(received) // 10:]:
            if h in pushed:
                push, picture = pushed[h]
                dvr_to_bridge.append(push - picture)
                bridge_to_client.append(at - push)
                total.append(at - picture)
        print(f"latency live/ch3, DVR picture -> RTSP client: {percentiles(total)}")
        print(f"  DVR picture -> bridge push:   {percentiles(dvr_to_bridge)}")
        print(f"  bridge push -> RTSP client:   {percentiles(bridge_to_client)}")

        # Cameras 3 on carry pictures only; camera 1 adds its sound.
        runs = [(n, list(range(3, 3 + n)), "") for n in
                (int(x) for x in args.channels.split(","))]
        runs.append((1, [1], " with sound"))
        for n, channels, note in runs:
            time.sleep(4)  # earlier sessions linger and close
            clients = [subprocess.Popen(
                ["ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i",
                 f"{base}live/ch{c}", "-c", "copy", "-f", "null", "-"],
                stdin=subprocess.DEVNULL) for c in channels]
            time.sleep(5)  # sessions open, clients settle
            pids = [serve.pid] + children(serve.pid)
            t0 = time.time()
            c0 = {p: cpu_seconds(p) for p in pids}
            f0 = trace_lines(trace)
            time.sleep(args.seconds)
            fps = (trace_lines(trace) - f0) / args.seconds / n
            elapsed = time.time() - t0
            bridge = cpu_seconds(serve.pid) - c0[serve.pid]
            workers = sum(cpu_seconds(p) - c0[p] for p in pids[1:])
            share = (bridge + workers) / elapsed / n * 100
            print(f"cpu, {n} D1 channel(s){note}: {share:.2f} % of a core per channel "
                  f"(bridge {bridge / elapsed * 100:.2f} %, {len(pids) - 1} workers "
                  f"{workers / elapsed * 100:.2f} % in all; {fps:.1f} pictures/s per channel)")
            for c in clients:
                c.kill()
                c.wait()
            clients = []
    finally:
        for c in clients:
            c.kill()
        if serve:
            serve.terminate()
            serve.wait()
        sim.terminate()
        sim.wait()
        os.unlink(trace)


if __name__ == "__main__":
    main()
