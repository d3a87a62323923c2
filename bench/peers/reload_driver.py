#!/usr/bin/env python3
"""The reload-under-load driver: replaces a server's list file once a second and samples the
server's resident size every 20 ms, in one process.

Each replacement renames a hard link of one of two identical copies, made beforehand, over the
file, so the server sees a new file every second while the driver copies nothing; a shell loop
doing `cp` and `mv` spent tens of milliseconds of CPU a second and forked a process or two for
every sample, and that noise landed on the load generator's core and in its latency figures.

With --replacements 0 it only samples: the same harness, the same length, no reload, for the
figures to compare with.

usage: reload_driver.py --pid PID --file PATH --seconds N --peak-out PATH
                        [--replacements K] [--signal]
"""

import argparse
import os
import shutil
import signal
import time


def resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--file", required=True)
    parser.add_argument("--seconds", type=int, required=True)
    parser.add_argument("--peak-out", required=True)
    parser.add_argument("--replacements", type=int, help="how many (default: one a second)")
    parser.add_argument("--signal", action="store_true", help="send SIGHUP after each replacement")
    args = parser.parse_args()
    replacements = args.seconds if args.replacements is None else args.replacements

    copies = [f"{args.file}.copy-a", f"{args.file}.copy-b"]
    staging = f"{args.file}.staging"
    for path in copies + [staging]:
        remove(path)  # left by an interrupted run, and perhaps the very file by now
    for copy in copies:
        shutil.copyfile(args.file, copy)

    peak = 0
    start = time.monotonic()
    replaced = 0
    try:
        while True:
            now = time.monotonic() - start
            if now >= args.seconds + 5:
                break
            peak = max(peak, resident_kib(args.pid))
            if replaced < replacements and now >= replaced + 1:
                os.link(copies[replaced % 2], staging)
                os.replace(staging, args.file)
                if args.signal:
                    os.kill(args.pid, signal.SIGHUP)
                replaced += 1
            time.sleep(0.02)
    finally:
        for path in copies + [staging]:
            remove(path)
        with open(args.peak_out, "w", encoding="ascii") as out:
            out.write(f"{peak}\n")


if __name__ == "__main__":
    main()
