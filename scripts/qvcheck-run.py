#!/usr/bin/env python3
"""Checks the answer scripts/run.sh printed against the simulation's second,
independent implementation (tests/application/algorithm3_oracle.py) on the
same sample, bit for bit.

Usage: qvcheck-run.py OUTPUT_FILE   (or the output on standard input)
"""

import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "application"))
import algorithm3_oracle as oracle  # noqa: E402

TIME = 3
RATIOS = (0.4, 0.3, 0.2, 0.1)


def sample():
    """The host's fixed series (examples/qvalgorithm3host.c)."""
    b = [50.0 + ((i * 37) % 23) * 0.25 for i in range(oracle.DAYS)]
    h = [b[i] + 0.5 + (2.5 if i % 4 == 0 else 0.0) for i in range(oracle.DAYS)]
    l = [b[i] - 0.5 - (2.5 if i % 3 == 0 else 0.0) for i in range(oracle.DAYS)]
    e = [b[i] + 0.25 for i in range(oracle.DAYS)]
    huan = [0.05 * (i % 9) for i in range(oracle.DAYS)]
    return b, h, l, e, huan


def main():
    text = open(sys.argv[1]).read() if len(sys.argv) > 1 else sys.stdin.read()
    found = re.search(r"Algorithm3\[time (\d+)\] = \S+ \((\S+)\)", text)
    if not found or int(found.group(1)) != TIME:
        print("no Algorithm3 answer in the output:\n" + text)
        return 1
    printed = float.fromhex(found.group(2))
    stats = {}
    for phase in ("sweep", "run"):
        for branch in ("quiet", "busy", "2buy", "0sell", "1both", "1sell", "1buy"):
            stats[phase + ":" + branch] = 0
    status, expected = oracle.Simulation(*sample(), RATIOS, stats).run(TIME)
    if status != oracle.OK or float.hex(printed) != float.hex(expected):
        print("printed %s, the oracle answers %s (status %d)" % (float.hex(printed), float.hex(expected), status))
        return 1
    print("Algorithm3 answer matches the oracle: %s" % float.hex(expected))
    return 0


if __name__ == "__main__":
    sys.exit(main())
