#!/usr/bin/env python3
"""The reload test's control: burns BUSY seconds of CPU at the start of every second, for
SECONDS seconds, and does nothing else. Run at nice 19 on the server's core beside the reflector,
it shows what spending a reload's CPU there costs a server that does no reload work at all.

usage: cpu_burner.py SECONDS BUSY
"""

import sys
import time


def main():
    seconds, busy = float(sys.argv[1]), float(sys.argv[2])
    start = time.monotonic()
    for second in range(int(seconds)):
        begin = start + second + 1
        time.sleep(max(0.0, begin - time.monotonic()))
        spin_until = time.process_time() + busy
        while time.process_time() < spin_until:
            pass


if __name__ == "__main__":
    main()
