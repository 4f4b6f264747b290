#!/usr/bin/env python3
"""Writes the example clouds: a scanned-looking relief (reference) and a second,
sparser scan of it (test) with a raised patch and a few stray points.

Deterministic: the same files on every run. Usage: make_examples.py [outdir]
"""
import math
import random
import sys


def relief(x, y):
    return 2.0 * math.sin(x / 7.0) * math.cos(y / 5.0) + 0.05 * x + 0.3 * math.sin(x * y / 90.0)


def scan(rng, count, noise, bump):
    rows = []
    for _ in range(count):
        x = rng.uniform(0.0, 60.0)
        y = rng.uniform(0.0, 40.0)
        z = relief(x, y) + rng.gauss(0.0, noise)
        if bump:
            r2 = (x - 40.0) ** 2 + (y - 15.0) ** 2
            z += 1.5 * math.exp(-r2 / 30.0)
            if rng.random() < 0.01:
                z += rng.choice((-1.0, 1.0)) * rng.uniform(6.0, 12.0)
        rows.append("%.4f %.4f %.4f\n" % (x, y, z))
    return rows


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else "."
    rng = random.Random(20261208)
    with open(outdir + "/reference.txt", "w") as f:
        f.writelines(scan(rng, 20000, 0.02, False))
    with open(outdir + "/test.txt", "w") as f:
        f.writelines(scan(rng, 8000, 0.02, True))


if __name__ == "__main__":
    main()
