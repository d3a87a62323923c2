#!/usr/bin/env python3
"""Scrapes a SieveHarbor /metrics endpoint COUNT times, INTERVAL seconds apart, while a load runs:
prints the median and the longest scrape time in ms, and the largest gap between the queries
received and those answered, relayed or dropped, beside the exchanges in flight at that scrape.
Each scrape is parsed as the Prometheus text format."""
import argparse
import statistics
import sys
import time
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

SETTLED = ("sieveharbor_queries_answered_total", "sieveharbor_queries_relayed_total",
           "sieveharbor_queries_dropped_total")


def totals(text):
    sums = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            sums[sample.name] = sums.get(sample.name, 0) + sample.value
    return sums


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--url", required=True)
    parser.add_argument("--count", type=int, default=20)
    parser.add_argument("--interval", type=float, default=0.4)
    parser.add_argument("--delay", type=float, default=1.0, help="seconds before the first")
    args = parser.parse_args()
    time.sleep(args.delay)
    took, gaps, flights, received = [], [], [], 0
    for _ in range(args.count):
        start = time.perf_counter()
        with urllib.request.urlopen(args.url, timeout=5) as response:
            text = response.read().decode()
        took.append((time.perf_counter() - start) * 1000)
        sums = totals(text)
        received = sums["sieveharbor_queries_received_total"]
        gaps.append(abs(received - sum(sums[name] for name in SETTLED)))
        flights.append(sums["sieveharbor_upstream_exchanges_in_flight"])
        time.sleep(args.interval)
    worst = max(range(len(gaps)), key=gaps.__getitem__)
    print(f"median_ms {statistics.median(took):.3f}")
    print(f"max_ms {max(took):.3f}")
    print(f"max_gap {gaps[worst]:.0f}")
    print(f"in_flight_at_max_gap {flights[worst]:.0f}")
    print(f"received_at_end {received:.0f}")


if __name__ == "__main__":
    sys.exit(main())
