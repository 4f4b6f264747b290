#!/usr/bin/python3
"""peer_kdtree.py - nearest-neighbour distances with a generic kd-tree, the peer of the benchmarks.

    peer_kdtree.py REF.txt TEST.txt OUT.txt [MAXDIST [WORKERS]]

What a user would write in a few lines of Python for the same question: parse both
text clouds with numpy.loadtxt, build a scipy cKDTree over the reference cloud,
query the nearest reference point of every test point with
distance_upper_bound = MAXDIST (k=1; inf when there is none that close) and write
one distance per line. The time of each step goes to standard output. WORKERS
(default 1) is the query's workers argument: the threads that share the queries.
"""
import sys
import time

import numpy as np
from scipy.spatial import cKDTree


def main():
    if len(sys.argv) not in (4, 5, 6):
        sys.stderr.write(__doc__)
        return 2
    ref_path, test_path, out_path = sys.argv[1:4]
    maxdist = float(sys.argv[4]) if len(sys.argv) >= 5 else 5.0
    workers = int(sys.argv[5]) if len(sys.argv) == 6 else 1

    steps = []
    start = time.perf_counter()
    ref = np.loadtxt(ref_path, ndmin=2)
    steps.append(("peer_load_reference", time.perf_counter()))
    test = np.loadtxt(test_path, ndmin=2)
    steps.append(("peer_load_test", time.perf_counter()))
    tree = cKDTree(ref)
    steps.append(("peer_tree_build", time.perf_counter()))
    distances, _ = tree.query(test, k=1, distance_upper_bound=maxdist, workers=workers)
    steps.append(("peer_query", time.perf_counter()))
    np.savetxt(out_path, distances, fmt="%.5f")
    steps.append(("peer_write", time.perf_counter()))

    previous = start
    for name, when in steps:
        print("%s %.4f" % (name, when - previous))
        previous = when
    print("peer_within_maxdist %d" % int(np.count_nonzero(np.isfinite(distances))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
