"""A blackholed upstream: UDP and TCP sockets on 127.0.0.1:PORT that take what comes and answer
nothing, with no refusal either (no ICMP, no reset), as a route that silently drops. Stops after
SECONDS.

Usage: python3 blackhole.py PORT SECONDS
"""

import socket
import sys
import time

port, seconds = int(sys.argv[1]), float(sys.argv[2])
udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.bind(("127.0.0.1", port))
tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
tcp.bind(("127.0.0.1", port))
tcp.listen(4096)  # connections complete in the kernel and are never served
print("ready", flush=True)
end = time.monotonic() + seconds
while time.monotonic() < end:
    try:
        udp.settimeout(0.5)
        udp.recv(65536)  # read and dropped, so the queue never fills into a refusal
    except socket.timeout:
        pass
