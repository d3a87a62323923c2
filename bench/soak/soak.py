"""The soak: the release proxy under a steady mixed load for a long time, watched for growth.

Usage (run.sh builds the programs first and passes their folder):
    python3 soak.py --bin BUILD_DIR [--seconds 3600] [--rate 5000] [--out build/soak]

What runs, all on 127.0.0.1 with kernel-chosen ports, everything stopped on the way out:
  - bench-stub-upstream --faults: the upstream, UDP and TCP; it answers at once, except one query
    in a hundred it never answers and one it holds back 0-6 s (past the proxy's 5 s timeout for
    a sixth of those), chosen by a hash of the name (bench/soak/fate.h);
  - the proxy, with --metrics and a list this script writes;
  - bench-soak-load: about RATE queries a second over UDP, kept-open TCP connections (pipelined)
    and short TCP connections; blocked, relayed and alternately blocked names, and malformed
    datagrams; it tracks every query to its answer or an 8 s deadline.
Every 10 s the list is replaced (by rename; the alternately blocked names change sides), every
30 s the proxy gets SIGHUP, and halfway between two replacements one sample is taken: VmRSS,
open descriptors, the counters, and a health probe (a blocked and a relayed name over UDP).

Pass/fail, stated again in the output:
  - the least-squares slope over the second half of the samples, each below its tolerance
    (RSS 1 MiB, descriptors 5, upstream exchanges in flight 5, per 10 minutes). A slope counts
    as over only when it is over by more than three of its standard errors, so that noise is not
    taken for growth (on an hour's 180 samples that margin is small), and only when the second
    half spans 5 minutes or more: a shorter run's slopes are printed, not judged;
  - once the load has ended and its last deadline passed: no exchange in flight, and no more
    descriptors open than before the load began (the proxy let go of everything);
  - no query missed that the proxy owed an answer (allowance: 0), no answer that must not be
    (to a message with QR set, or for a query the upstream dropped), none twice or to a query
    never asked (the first few such replies are printed), no wrong answer;
  - every health probe answered, the proxy alive to the end and exiting 0 on SIGTERM, no list
    refused, and the alternately blocked names seen both blocked and relayed (the reloads took).
Results: build/soak/soak.csv, soak.png (RSS, descriptors, in flight over time), load.jsonl,
proxy.log.
"""

import argparse
import ctypes
import json
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

SAMPLE_EVERY = 10
REWRITE_EVERY = 10
SIGHUP_EVERY = 30
FILLER_ENTRIES = 20000  # so that each reload builds a list of some size
# Tolerances, per 10 minutes, on the slopes over the second half of the run.
TOLERANCE = {"rss_kib": 1024.0, "fds": 5.0, "in_flight": 5.0}
TOLERANCE_TEXT = {"rss_kib": "1 MiB", "fds": "5 descriptors", "in_flight": "5 exchanges"}
MISSED_ALLOWANCE = 0
DRAIN_SECONDS = 10  # how long after the load the proxy gets to let go of its exchanges
# A slope over less than this says more about the machine's other load than about growth: a
# shorter run's slopes are printed, not judged (the check after the drain still holds).
JUDGED_WINDOW = 300


def fnv1a_name(name):
    """The hash fate.h takes of a question's name, from its dotted form."""
    h = 2166136261
    for label in name.split("."):
        for byte in bytes([len(label)]) + label.lower().encode():
            h = ((h ^ byte) * 16777619) & 0xFFFFFFFF
    return ((h ^ 0) * 16777619) & 0xFFFFFFFF


def query(name, qid):
    wire = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    return struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + wire + struct.pack(">HH", 1, 1)


def first_address(reply):
    """The first answer's IPv4 address as text, or None."""
    if len(reply) < 12 or struct.unpack(">H", reply[6:8])[0] == 0:
        return None
    at = 12
    while at < len(reply) and reply[at] != 0:
        at += 1 + reply[at]
    at += 5
    at += 2 if at < len(reply) and reply[at] & 0xC0 == 0xC0 else 0
    if at + 14 > len(reply) or reply[at:at + 2] != b"\0\1" or reply[at + 8:at + 10] != b"\0\4":
        return None
    return socket.inet_ntoa(reply[at + 10:at + 14])


def probe(port, name, want, tries=3):
    """True when the proxy answers NAME with address WANT within `tries` one-second waits."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(1.0)
        for attempt in range(tries):
            qid = (os.getpid() + attempt) & 0xFFFF
            s.sendto(query(name, qid), ("127.0.0.1", port))
            deadline = time.monotonic() + 1.0
            while time.monotonic() < deadline:
                try:
                    reply = s.recv(4096)
                except (socket.timeout, ConnectionRefusedError):
                    break
                if reply[:2] == struct.pack(">H", qid):
                    if first_address(reply) == want:
                        return True
                    break
    return False


def free_port():
    """A port free for both UDP and TCP on 127.0.0.1, chosen by the kernel."""
    for _ in range(50):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
            t.bind(("127.0.0.1", 0))
            port = t.getsockname()[1]
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u:
                try:
                    u.bind(("127.0.0.1", port))
                except OSError:
                    continue
            return port
    raise RuntimeError("no free port on 127.0.0.1")


def relayed_probe_name(n):
    """A name under relay.soak that the upstream answers at once."""
    while True:
        name = f"probe{n}.relay.soak"
        if fnv1a_name(name) % 100 >= 2:
            return name
        n += 1000003


def write_list(path, generation):
    """Replaces the list in one rename; even generations block flip-a.soak, odd ones flip-b."""
    side = "ab"[generation % 2]
    lines = ["# soak list, generation %d" % generation, "blocked.soak", f"flip-{side}.soak"]
    lines += [f"e{i}.filler-{side}.soak" for i in range(FILLER_ENTRIES)]
    tmp = path.with_suffix(".tmp")
    tmp.write_text("\n".join(lines) + "\n")
    os.replace(tmp, path)


def metrics(port):
    values = {}
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=3) as r:
        for line in r.read().decode().splitlines():
            if line and not line.startswith("#"):
                key, _, value = line.rpartition(" ")
                values[key] = float(value)
    return values


def proc_sample(pid):
    rss = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return rss, fds, cpu


def slope(points):
    """Least-squares slope of (t, v) points and its standard error, per second."""
    n = len(points)
    if n < 3:
        return 0.0, math.inf
    mt = sum(t for t, _ in points) / n
    mv = sum(v for _, v in points) / n
    sxx = sum((t - mt) ** 2 for t, _ in points)
    if sxx == 0:
        return 0.0, math.inf
    b = sum((t - mt) * (v - mv) for t, v in points) / sxx
    residual = sum((v - mv - b * (t - mt)) ** 2 for t, v in points)
    return b, math.sqrt(residual / (n - 2) / sxx)


def die_with_parent():
    """Children get SIGTERM if this script is killed outright, so none outlives it."""
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


class Soak:
    def __init__(self, args):
        self.args = args
        self.out = Path(args.out)
        self.work = self.out / "work"
        self.work.mkdir(parents=True, exist_ok=True)
        self.children = []
        self.samples = []
        self.failures = []
        self.load_lines = []

    def start(self, argv, **kw):
        process = subprocess.Popen(argv, preexec_fn=die_with_parent, **kw)
        self.children.append(process)
        return process

    def stop_all(self):
        for process in reversed(self.children):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.children):
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def read_load(self, stream):
        with open(self.out / "load.jsonl", "w") as copy:
            for line in stream:
                copy.write(line)
                copy.flush()
                try:
                    self.load_lines.append(json.loads(line))
                except json.JSONDecodeError:
                    pass

    def sample(self, t):
        row = {"t_s": round(t, 1)}
        row["loadavg"] = os.getloadavg()[0]
        try:
            row["rss_kib"], row["fds"], row["cpu_s"] = proc_sample(self.proxy.pid)
        except OSError:
            return None
        try:
            m = metrics(self.metrics_port)
        except OSError as error:
            m = {}
            self.failures.append(f"the metrics endpoint did not answer at {t:.0f} s ({error})")
        get = lambda key: int(m.get("sieveharbor_" + key, -1))
        row["in_flight"] = get("upstream_exchanges_in_flight")
        row["received_udp"] = get('queries_received_total{transport="udp"}')
        row["received_tcp"] = get('queries_received_total{transport="tcp"}')
        row["answered_here"] = sum(int(v) for k, v in m.items()
                                   if k.startswith("sieveharbor_queries_answered_total"))
        row["relayed"] = get("queries_relayed_total")
        row["dropped"] = sum(int(v) for k, v in m.items()
                             if k.startswith("sieveharbor_queries_dropped_total"))
        for outcome in ("reply", "timeout", "failure"):
            row[f"exchanges_{outcome}"] = get(f'upstream_exchanges_total{{outcome="{outcome}"}}')
        row["tcp_closed"] = sum(int(v) for k, v in m.items()
                                if k.startswith("sieveharbor_tcp_connections_closed_total"))
        row["reloads_accepted"] = get('blocklist_reloads_total{outcome="accepted"}')
        row["reloads_refused"] = get('blocklist_reloads_total{outcome="refused"}')
        row["list_entries"] = get("blocklist_entries")
        n = len(self.samples)
        healthy = (probe(self.port, f"health{n}.blocked.soak", "0.0.0.0") and
                   probe(self.port, relayed_probe_name(n), "192.0.2.53"))
        row["healthy"] = int(healthy)
        if not healthy:
            self.failures.append(f"the proxy did not answer a health probe at {t:.0f} s")
        self.samples.append(row)
        # Written as it goes, so that a run cut short still leaves its samples.
        with open(self.out / "soak.csv", "a" if len(self.samples) > 1 else "w") as f:
            if len(self.samples) == 1:
                f.write(",".join(row) + "\n")
            f.write(",".join(str(v) for v in row.values()) + "\n")
        return row

    def run(self):
        bin_dir = Path(self.args.bin)
        proxy_bin = bin_dir / "src/main/sieveharbor-proxy"
        stub_bin = bin_dir / "bench/peers/bench-stub-upstream"
        load_bin = bin_dir / "bench/soak/bench-soak-load"
        seconds = self.args.seconds
        lifetime = seconds + 120  # the stub stops by itself even if nobody stops it

        stub_port = free_port()
        self.start([str(stub_bin), "--port", str(stub_port), "--seconds", str(lifetime),
                    "--faults"])
        self.port = free_port()
        self.metrics_port = free_port()
        list_path = self.work / "blocklist.txt"
        write_list(list_path, 0)
        self.proxy_log = open(self.out / "proxy.log", "w")
        self.proxy = self.start([str(proxy_bin), "--listen", f"127.0.0.1:{self.port}",
                                 "--upstream", f"127.0.0.1:{stub_port}", "--blocklist",
                                 str(list_path), "--metrics", f"127.0.0.1:{self.metrics_port}"],
                                stdout=self.proxy_log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while not probe(self.port, "ready.blocked.soak", "0.0.0.0", tries=1):
            if self.proxy.poll() is not None or time.monotonic() > deadline:
                return self.fail_now("the proxy did not start answering within 20 s")
        if not probe(self.port, relayed_probe_name(0), "192.0.2.53"):
            return self.fail_now("the proxy did not relay to the stub upstream at the start")
        self.sample(0.0)
        baseline_fds = self.samples[0]["fds"]

        print(f"soak: proxy pid {self.proxy.pid} on 127.0.0.1:{self.port}, metrics on "
              f":{self.metrics_port}, upstream stub on :{stub_port}; {seconds} s at "
              f"{self.args.rate} queries/s", flush=True)
        load = self.start([str(load_bin), "--port", str(self.port), "--rate",
                           str(self.args.rate), "--seconds", str(seconds)],
                          stdout=subprocess.PIPE, text=True)
        reader = threading.Thread(target=self.read_load, args=(load.stdout,), daemon=True)
        reader.start()
        start = time.monotonic()
        rewrites = sighups = 0
        next_rewrite, next_hup, next_sample = REWRITE_EVERY, SIGHUP_EVERY, SAMPLE_EVERY / 2
        next_progress = 60
        while True:
            t = time.monotonic() - start
            if self.proxy.poll() is not None:
                return self.fail_now(f"the proxy exited (status {self.proxy.returncode}) at "
                                     f"{t:.0f} s")
            if load.poll() is not None:
                break
            if t > seconds + 60:
                return self.fail_now("the load generator did not finish in time")
            if t >= next_rewrite and t < seconds:
                rewrites += 1
                write_list(list_path, rewrites)
                next_rewrite += REWRITE_EVERY
            if t >= next_hup and t < seconds:
                self.proxy.send_signal(signal.SIGHUP)
                sighups += 1
                next_hup += SIGHUP_EVERY
            if t >= next_sample and t < seconds:
                self.sample(t)
                next_sample += SAMPLE_EVERY
            if t >= next_progress:
                row = self.samples[-1]
                print(f"soak: {t / 60:.0f} min: RSS {row['rss_kib'] / 1024:.1f} MiB, "
                      f"{row['fds']} descriptors, {row['in_flight']} in flight", flush=True)
                next_progress += 60 if seconds <= 600 else 600
            time.sleep(0.1)
        reader.join(timeout=5)
        if load.returncode != 0:
            self.failures.append(f"the load generator exited with status {load.returncode}")

        # The load has ended and its last deadline passed: the proxy must have let go.
        drained = None
        for _ in range(DRAIN_SECONDS * 2):
            row = self.sample(time.monotonic() - start)
            if row and row["in_flight"] == 0 and row["fds"] <= baseline_fds:
                drained = row
                break
            time.sleep(0.5)
        if drained is None:
            last = self.samples[-1]
            self.failures.append(
                f"{DRAIN_SECONDS} s after the load: {last['in_flight']} exchanges in flight, "
                f"{last['fds']} descriptors against {baseline_fds} before it")
        self.proxy.terminate()
        try:
            status = self.proxy.wait(timeout=15)
            if status != 0:
                self.failures.append(f"the proxy exited with status {status} on SIGTERM")
        except subprocess.TimeoutExpired:
            self.failures.append("the proxy did not stop within 15 s of SIGTERM")
        return self.finish(rewrites, sighups, baseline_fds)

    def fail_now(self, why):
        self.failures.insert(0, why)
        return self.finish(0, 0, None)

    def finish(self, rewrites, sighups, baseline_fds):
        self.plot()
        final = self.load_lines[-1] if self.load_lines else None
        if final and not final.get("final"):
            self.failures.append("the load generator never printed its final counts")
        print()
        print("soak: tolerances: slopes over the second half of the samples below RSS 1 MiB, "
              "5 descriptors, 5 exchanges in flight per 10 min (by more than 3 standard errors "
              f"to count; judged when that half spans {JUDGED_WINDOW // 60} min or more); after "
              "the load none in flight and no more descriptors than before it; missed answers "
              f"allowed: {MISSED_ALLOWANCE}")
        if final:
            self.summarise_load(final)
        if self.samples:
            self.summarise_samples(rewrites, sighups, baseline_fds)
        self.judge_machine(final)
        print(f"soak: results in {self.out}/soak.csv, {self.out}/soak.png, "
              f"{self.out}/load.jsonl, {self.out}/proxy.log")
        if self.failures:
            print("soak: FAILED: " + "; ".join(self.failures))
            return 1
        print("soak: PASSED")
        return 0

    def judge_machine(self, final):
        """Says so when the machine was too busy for the run to say much about the proxy."""
        if not final or not self.samples:
            return
        sent = sum(c["sent"] for c in final["counts"].values())
        late = final["behind"] / max(sent + final["behind"], 1)
        load = max(r["loadavg"] for r in self.samples)
        if late > 0.01:
            print(f"soak: WARNING: the machine was overloaded (1-minute load average up to "
                  f"{load:.1f} on {os.cpu_count()} CPUs; the generator itself sent {late:.0%} of "
                  "its queries late): missed answers and slopes may be the machine's rather than "
                  "the proxy's; run again on a quieter machine")

    def summarise_load(self, final):
        counts = final["counts"]
        print(f"{'queries':<22}{'sent':>10}{'answered':>10}{'missed':>8}{'unexp.':>8}"
              f"{'wrong':>7}{'twice':>7}{'blocked/relayed':>17}")
        totals = dict(sent=0, answered=0, missed=0, unexpected=0, wrong=0, twice=0)
        flips = {}
        for key, c in counts.items():
            split = (f"{c['as_blocked']}/{c['as_relayed']}" if "flip" in key else "")
            print(f"{key:<22}{c['sent']:>10}{c['answered']:>10}{c['missed']:>8}"
                  f"{c['unexpected']:>8}{c['wrong']:>7}{c['twice']:>7}{split:>17}")
            for k in totals:
                totals[k] += c[k]
            if "flip" in key:
                zone = key.split(".")[1]
                b, r = flips.get(zone, (0, 0))
                flips[zone] = (b + c["as_blocked"], r + c["as_relayed"])
        print(f"{'total':<22}{totals['sent']:>10}{totals['answered']:>10}{totals['missed']:>8}"
              f"{totals['unexpected']:>8}{totals['wrong']:>7}{totals['twice']:>7}")
        lat = final["latency_ms"]
        elapsed = max(self.args.seconds, 1)
        print(f"soak: offered {totals['sent'] / elapsed:.0f} queries/s (target {self.args.rate}); "
              f"{final['behind']} sent late by the generator; latency of answers not held back "
              f"p50 {lat['p50']} ms, p99 {lat['p99']} ms, p99.9 {lat['p999']} ms (1000 = 1 s or "
              f"more); replies after the 8 s deadline {final['late']}, to no query {final['stray']}, for names this run never made "
              f"(another program's traffic on the shared loopback; not judged) {final['foreign']}, "
              f"kept-open TCP connections closed by "
              f"the proxy {final['tcp_closed_by_proxy']}, TCP connections refused or cut "
              f"{final['connect_failed']}")
        if totals["missed"] > MISSED_ALLOWANCE:
            self.failures.append(f"{totals['missed']} queries the proxy owed an answer were not "
                                 f"answered within 8 s (allowed {MISSED_ALLOWANCE})")
        if totals["unexpected"]:
            self.failures.append(f"{totals['unexpected']} answers to queries that must not be "
                                 "answered (QR set, or dropped by the upstream)")
        if final["stray"]:
            self.failures.append(f"{final['stray']} replies to queries never asked")
        if totals["twice"]:
            self.failures.append(f"{totals['twice']} queries answered twice")
        if totals["wrong"]:
            self.failures.append(f"{totals['wrong']} wrong answers (blocked relayed, relayed "
                                 "blocked, another name, an error)")
        if self.args.seconds >= 2 * REWRITE_EVERY:
            for zone in ("flip_a", "flip_b"):
                b, r = flips.get(zone, (0, 0))
                if b == 0 or r == 0:
                    self.failures.append(f"{zone} names were answered {b} times blocked and {r} "
                                         "times relayed: the list replacements did not take")

    def summarise_samples(self, rewrites, sighups, baseline_fds):
        s = self.samples
        print(f"soak: {len(s)} samples; max RSS {max(r['rss_kib'] for r in s) / 1024:.1f} MiB, "
              f"max descriptors {max(r['fds'] for r in s)} (before the load {baseline_fds}), max "
              f"in flight {max(r['in_flight'] for r in s)}; proxy CPU {s[-1]['cpu_s']:.0f} s; "
              f"list replaced {rewrites} times, SIGHUP {sighups} times, reloads accepted "
              f"{s[-1]['reloads_accepted']}, refused {s[-1]['reloads_refused']}")
        if s[-1]["reloads_refused"] > 0:
            self.failures.append(f"{s[-1]['reloads_refused']} list reloads refused")
        # The samples taken while the load ran; the second half of them.
        running = [r for r in s[1:] if r["t_s"] <= self.args.seconds]
        half = running[len(running) // 2:]
        judged = len(half) >= 3 and half[-1]["t_s"] - half[0]["t_s"] >= JUDGED_WINDOW
        for key in ("rss_kib", "fds", "in_flight"):
            b, se = slope([(r["t_s"], r[key]) for r in half])
            per10, se10 = b * 600, se * 600
            over = judged and per10 - 3 * se10 > TOLERANCE[key]
            unit = " KiB" if key == "rss_kib" else ""
            verdict = "OVER" if over else "ok" if judged else "not judged (window too short)"
            print(f"soak: slope of {key} over the last {len(half)} samples: {per10:+.1f}{unit} "
                  f"per 10 min (standard error {se10:.1f}; tolerance {TOLERANCE_TEXT[key]}) "
                  f"{verdict}")
            if over:
                self.failures.append(f"{key} grows by {per10:.1f}{unit} per 10 min over the second "
                                     f"half of the run (tolerance {TOLERANCE_TEXT[key]})")

    def plot(self):
        if len(self.samples) < 2:
            return
        try:
            terminals = subprocess.run(["gnuplot", "-e", "set terminal"], capture_output=True,
                                       text=True).stdout
        except OSError:
            print("soak: gnuplot is missing: no chart", file=sys.stderr)
            return
        terminal = "pngcairo" if "pngcairo" in terminals else "png"
        csv = self.out / "soak.csv"
        script = f"""
set terminal {terminal} size 900,900
set output '{self.out / "soak.png"}'
set datafile separator ','
set key autotitle columnhead
set multiplot layout 3,1 title 'SieveHarbor soak: {self.args.rate} queries/s'
set xlabel 'minutes'
set grid
set ylabel 'VmRSS (MiB)'
plot '{csv}' using ($1/60):($3/1024) with linespoints title 'RSS'
set ylabel 'open descriptors'
plot '{csv}' using ($1/60):4 with linespoints title 'descriptors'
set ylabel 'exchanges in flight'
plot '{csv}' using ($1/60):6 with linespoints title 'in flight'
unset multiplot
"""
        try:
            subprocess.run(["gnuplot"], input=script, text=True, check=True)
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"soak: no chart: {error}", file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bin", required=True, help="the release build folder")
    parser.add_argument("--seconds", type=int, default=3600)
    parser.add_argument("--rate", type=int, default=5000)
    parser.add_argument("--out", default="build/soak")
    args = parser.parse_args()
    if args.seconds < 10 or args.rate <= 0:
        parser.error("--seconds must be at least 10 and --rate positive")
    soak = Soak(args)

    def stop(signum, _frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        status = soak.run()
    finally:
        soak.stop_all()
    sys.exit(status)


if __name__ == "__main__":
    main()
