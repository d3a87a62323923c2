#!/usr/bin/env python3
"""Opens COUNT TCP connections to a DNS server on loopback and holds them idle (nothing sent)
for SECONDS, then closes them. Prints how many were opened, once they all are."""
import argparse
import resource
import socket
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seconds", type=float, required=True)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, args.count + 64), hard))
    held = []
    for _ in range(args.count):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.settimeout(2)
        try:
            s.connect(("127.0.0.1", args.port))
        except OSError:
            s.close()
            continue
        held.append(s)
    print(f"opened {len(held)}", flush=True)
    time.sleep(args.seconds)
    for s in held:
        s.close()


if __name__ == "__main__":
    sys.exit(main())
