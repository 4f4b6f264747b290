#!/usr/bin/python3
"""peer_agreement.py - how closely the peer's numbers match ptdelta's, point by point.

    peer_agreement.py RESULT.ob.ply PEER.txt [STRIDE]

RESULT.ob.ply is ptdelta's binary PLY (-ob) of a run, PEER.txt the output of
bench/peer_m3c2.py for the same clouds and parameters: one line per core point,
the distance first (and for m3c2 the LoD95 second). With STRIDE (the peer's, for
m3c2) the peer's lines are ptdelta's points 0, STRIDE, 2 STRIDE, ... Compares the
distance, and the LoD95 when the PLY has scalar_lod95, as single-precision values:
how many points have a value in both, in one only, the same bits, within 1 and 4
units in the last place, and the largest difference.
"""
import sys

import numpy as np

PLY_TYPES = {"char": "i1", "uchar": "u1", "short": "<i2", "ushort": "<u2", "int": "<i4", "uint": "<u4",
             "float": "<f4", "double": "<f8"}


def read_binary_ply(path):
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"end_header\n") + len(b"end_header\n")
    count, fields = 0, []
    for line in data[:end].decode("ascii").splitlines():
        words = line.split()
        if words[:2] == ["element", "vertex"]:
            count = int(words[2])
        elif words[:1] == ["property"]:
            fields.append((words[2], PLY_TYPES[words[1]]))
    return np.frombuffer(data, dtype=np.dtype(fields), count=count, offset=end)


def compare(name, ours, theirs):
    ours = ours.astype(np.float32)
    theirs = theirs.astype(np.float32)
    both = ~np.isnan(ours) & ~np.isnan(theirs)
    a, b = ours[both], theirs[both]
    ulps = np.abs(a.view(np.int32).astype(np.int64) - b.view(np.int32).astype(np.int64))
    ulps[np.sign(a) != np.sign(b)] = np.iinfo(np.int64).max  # values of opposite sign are never close
    diff = np.abs(a.astype(np.float64) - b.astype(np.float64))
    n = max(1, int(both.sum()))
    print("%s: %d with a value in both, %d in ptdelta only, %d in the peer only" %
          (name, both.sum(), (~np.isnan(ours) & np.isnan(theirs)).sum(), (np.isnan(ours) & ~np.isnan(theirs)).sum()))
    print("  same bits %d (%.3f %%), within 1 ulp %d (%.3f %%), within 4 ulp %d (%.3f %%), largest difference %.3g" %
          ((ulps == 0).sum(), 100.0 * (ulps == 0).sum() / n, (ulps <= 1).sum(), 100.0 * (ulps <= 1).sum() / n,
           (ulps <= 4).sum(), 100.0 * (ulps <= 4).sum() / n, diff.max() if len(diff) else 0.0))
    if len(diff):
        worst = np.argsort(-diff)[:3]
        print("  largest: " + ", ".join("%.9g against %.9g" % (a[k], b[k]) for k in worst))


def main():
    if len(sys.argv) not in (3, 4):
        sys.stderr.write(__doc__)
        return 2
    ply = read_binary_ply(sys.argv[1])[:: int(sys.argv[3]) if len(sys.argv) == 4 else 1]
    peer = np.loadtxt(sys.argv[2], ndmin=2)
    if len(peer) != len(ply):
        sys.stderr.write("peer_agreement.py: %d peer lines for %d points\n" % (len(peer), len(ply)))
        return 1
    compare("distance", ply["scalar_distance"], peer[:, 0])
    if "scalar_lod95" in ply.dtype.names and peer.shape[1] > 1:
        compare("LoD95", ply["scalar_lod95"], peer[:, 1])
    return 0


if __name__ == "__main__":
    sys.exit(main())
