#!/usr/bin/python3
"""peer_m3c2.py - M3C2, signed nearest point and a local least-squares plane with a generic kd-tree, the bench's peer.

    peer_m3c2.py m3c2   REF.txt TEST.txt OUT.txt R [MAXDIST [WORKERS [STRIDE]]]
    peer_m3c2.py signed REF.txt TEST.txt OUT.txt R [MAXDIST [WORKERS]]
    peer_m3c2.py plane  REF.txt TEST.txt OUT.txt K [MAXDIST [WORKERS]]

What a user would write with NumPy and SciPy for the same definitions as ptdelta's
-m3c2 R, -signed -normals R and -plane K, with ptdelta's defaults for the rest
(MAXDIST 5; cylinder radius R/2, half-length MAXDIST, registration error 0,
5 points of each cloud in a cylinder; normals oriented up). Both text clouds are
read with numpy.loadtxt and rounded to single precision, as ptdelta stores them;
everything after that is double. A scipy cKDTree over each cloud answers the
queries; WORKERS (default 1) is their workers argument. The time of each step goes
to standard output. STRIDE (m3c2 only, default 1) takes every STRIDE-th test point as a
core point, the first included, for a run that times a sample of the core points
(both clouds still whole in the trees); "peer_cores" says how many there were.

- Normal at a place p: the covariance (divided by n) of the reference points within
  R of p (query_ball_point), centred on their mean; the eigenvector of its smallest
  eigenvalue (numpy.linalg.eigh); fewer than 3 points gives none. Negated when its
  z is negative (z exactly 0: by y, then by x).
- m3c2: every test point is a core point p with the normal n at p. The cylinder's
  candidates are a ball query of radius sqrt(r^2 + L^2) around p in each cloud; a
  candidate q is inside when |(q - p).n| <= L and |(q - p) - ((q - p).n) n|^2 <= r^2.
  Over each cloud's points inside: the count, the mean and the population standard
  deviation of (q - p).n. distance = mean_test - mean_ref,
  LoD95 = 1.96 (sqrt(s_ref^2/n_ref + s_test^2/n_test) + E). No normal, or fewer
  points than needed in either cylinder: nan nan. OUT: "distance lod95" per core point.
- signed: the nearest reference point q within MAXDIST (query k=1), the normal at q
  (computed once per distinct q), the distance with the sign of (t - q).n (0 gives +).
  OUT: the signed distance per test point, nan for an outlier or a q without normal.
- plane: the K nearest reference points (query k=K) within the ball of radius
  h = sqrt(3 MAXDIST^2) and strictly inside the box of half-width h around the test
  point; their least-squares plane (centre c, normal n as above) and |(t - c).n|.
  Fewer than 3: nan; a distance above MAXDIST: nan. ptdelta takes the K nearest in
  the whole box, corners included: the two differ only where fewer than K reference
  points lie within h (test points far off the surface).

Distances and LoD95 are rounded once to single precision and written with 9
significant digits. Neighbourhoods are processed in blocks of core points so that
the lists the ball queries return stay small.
"""
import sys
import time
from itertools import chain

import numpy as np
from scipy.spatial import cKDTree

BLOCK_POINTS = 4_000_000  # about this many neighbour indices per block


def load(path):
    return np.loadtxt(path, ndmin=2)[:, :3].astype(np.float32).astype(np.float64)


def flatten(lists):
    """The neighbour lists of a ball query as one index array and each list's length."""
    counts = np.fromiter(map(len, lists), dtype=np.intp, count=len(lists))
    flat = np.fromiter(chain.from_iterable(lists), dtype=np.intp, count=int(counts.sum()))
    owner = np.repeat(np.arange(len(lists)), counts)
    return flat, owner, counts


def segment_sum(owner, values, n):
    return np.bincount(owner, weights=values, minlength=n)


def orient_up(normals):
    nx, ny, nz = normals[:, 0], normals[:, 1], normals[:, 2]
    flip = np.where(nz != 0.0, nz < 0.0, np.where(ny != 0.0, ny < 0.0, nx < 0.0))
    normals[flip] *= -1.0
    return normals


def covariance_normals(points, owner, counts):
    """Normals of the neighbourhoods given as points[k] belonging to owner[k]; nan rows where fewer than 3."""
    n = len(counts)
    safe = np.maximum(counts, 1)
    centre = np.stack([segment_sum(owner, points[:, a], n) for a in range(3)], axis=1) / safe[:, None]
    d = points - centre[owner]
    cov = np.empty((n, 3, 3))
    for a in range(3):
        for b in range(a, 3):
            cov[:, a, b] = cov[:, b, a] = segment_sum(owner, d[:, a] * d[:, b], n) / safe
    valid = counts >= 3
    normals = np.full((n, 3), np.nan)
    if valid.any():
        _, vectors = np.linalg.eigh(cov[valid])
        normals[valid] = orient_up(vectors[:, :, 0])
    return normals


def normals_at(tree, ref, places, radius, workers):
    """The oriented normal at each place from the reference points within radius."""
    normals = np.empty((len(places), 3))
    if len(places) == 0:
        return normals
    # Block size from the expected neighbourhood: a first query of a few places.
    probe = tree.query_ball_point(places[:: max(1, len(places) // 100)], radius, workers=workers, return_length=True)
    block = max(1, int(BLOCK_POINTS / max(1.0, float(np.mean(probe)))))
    for start in range(0, len(places), block):
        part = places[start:start + block]
        lists = tree.query_ball_point(part, radius, workers=workers, return_sorted=False)
        flat, owner, counts = flatten(lists)
        normals[start:start + block] = covariance_normals(ref[flat], owner, counts)
    return normals


def cylinder_spread(tree, cloud, cores, normals, radius, depth, workers):
    """Count, mean and population standard deviation of (q - p).n over each core's cylinder."""
    n = len(cores)
    lists = tree.query_ball_point(cores, np.sqrt(radius * radius + depth * depth), workers=workers,
                                  return_sorted=False)
    flat, owner, _ = flatten(lists)
    d = cloud[flat] - cores[owner]
    axis = normals[owner]
    along = np.einsum("ij,ij->i", d, axis)
    across = d - along[:, None] * axis
    inside = (np.abs(along) <= depth) & (np.einsum("ij,ij->i", across, across) <= radius * radius)
    owner, along = owner[inside], along[inside]
    count = np.bincount(owner, minlength=n)
    safe = np.maximum(count, 1)
    mean = segment_sum(owner, along, n) / safe
    deviation = np.sqrt(segment_sum(owner, (along - mean[owner]) ** 2, n) / safe)
    return count, mean, deviation


def run_m3c2(ref, test, radius, maxdist, workers, step, stride):
    cylinder, depth, regerror, minpoints = radius / 2.0, maxdist, 0.0, 5
    ref_tree, test_tree = cKDTree(ref), cKDTree(test)
    step("peer_tree_build")
    core = test[::stride]
    normals = normals_at(ref_tree, ref, core, radius, workers)
    step("peer_normals")
    distance = np.full(len(core), np.nan)
    lod95 = np.full(len(core), np.nan)
    cores = np.flatnonzero(~np.isnan(normals[:, 0]))
    # The cylinder's ball holds far more points than the normal's: smaller blocks.
    probe = ref_tree.query_ball_point(core[cores[:: max(1, len(cores) // 100)]],
                                      np.sqrt(cylinder * cylinder + depth * depth), return_length=True)
    block = max(1, int(BLOCK_POINTS / 2 / max(1.0, float(np.mean(probe)))))
    for start in range(0, len(cores), block):
        part = cores[start:start + block]
        p, n = core[part], normals[part]
        n_ref, m_ref, s_ref = cylinder_spread(ref_tree, ref, p, n, cylinder, depth, workers)
        n_test, m_test, s_test = cylinder_spread(test_tree, test, p, n, cylinder, depth, workers)
        enough = (n_ref >= minpoints) & (n_test >= minpoints)
        with np.errstate(divide="ignore", invalid="ignore"):
            lod = 1.96 * (np.sqrt(s_ref ** 2 / n_ref + s_test ** 2 / n_test) + regerror)
        distance[part[enough]] = (m_test - m_ref)[enough]
        lod95[part[enough]] = lod[enough]
    step("peer_cylinders")
    return np.stack([distance.astype(np.float32), lod95.astype(np.float32)], axis=1)


def run_signed(ref, test, radius, maxdist, workers, step, _):
    tree = cKDTree(ref)
    step("peer_tree_build")
    distance, nearest = tree.query(test, k=1, distance_upper_bound=maxdist, workers=workers)
    found = nearest < len(ref)
    step("peer_query")
    places, which = np.unique(nearest[found], return_inverse=True)
    normals = normals_at(tree, ref, ref[places], radius, workers)[which]
    step("peer_normals")
    t, q = test[found], ref[nearest[found]]
    side = np.einsum("ij,ij->i", t - q, normals)
    d = distance[found].astype(np.float32)
    d[side < 0.0] *= -1.0
    d[np.isnan(normals[:, 0])] = np.nan
    out = np.full(len(test), np.nan, dtype=np.float32)
    out[found] = d
    step("peer_sign")
    return out[:, None]


def run_plane(ref, test, k, maxdist, workers, step, _):
    tree = cKDTree(ref)
    step("peer_tree_build")
    h = np.sqrt(3.0 * maxdist * maxdist)
    out = np.full(len(test), np.nan, dtype=np.float32)
    for start in range(0, len(test), 200_000):
        t = test[start:start + 200_000]
        _, nearest = tree.query(t, k=k, distance_upper_bound=h, workers=workers)
        nearest = nearest.reshape(len(t), k)
        found = nearest < len(ref)
        q = ref[np.where(found, nearest, 0)]
        found &= np.all(np.abs(q - t[:, None, :]) < h, axis=2)
        count = found.sum(axis=1)
        weight = found[:, :, None].astype(np.float64)
        centre = (q * weight).sum(axis=1) / np.maximum(count, 1)[:, None]
        d = (q - centre[:, None, :]) * weight
        cov = np.einsum("nka,nkb->nab", d, d) / np.maximum(count, 1)[:, None, None]
        valid = count >= 3
        _, vectors = np.linalg.eigh(cov[valid])
        n = orient_up(vectors[:, :, 0])
        dist = np.abs(np.einsum("ij,ij->i", t[valid] - centre[valid], n)).astype(np.float32)
        dist[dist > maxdist] = np.nan
        block = np.full(len(t), np.nan, dtype=np.float32)
        block[valid] = dist
        out[start:start + len(t)] = block
    step("peer_planes")
    return out[:, None]


def main():
    modes = {"m3c2": run_m3c2, "signed": run_signed, "plane": run_plane}
    if len(sys.argv) not in (6, 7, 8, 9) or sys.argv[1] not in modes or (len(sys.argv) == 9 and sys.argv[1] != "m3c2"):
        sys.stderr.write(__doc__)
        return 2
    mode = sys.argv[1]
    ref_path, test_path, out_path = sys.argv[2:5]
    parameter = int(sys.argv[5]) if mode == "plane" else float(sys.argv[5])
    maxdist = float(sys.argv[6]) if len(sys.argv) >= 7 else 5.0
    workers = int(sys.argv[7]) if len(sys.argv) >= 8 else 1
    stride = int(sys.argv[8]) if len(sys.argv) == 9 else 1

    steps = []
    last = [time.perf_counter()]

    def step(name):
        now = time.perf_counter()
        steps.append((name, now - last[0]))
        last[0] = now

    ref = load(ref_path)
    step("peer_load_reference")
    test = load(test_path)
    step("peer_load_test")
    result = modes[mode](ref, test, parameter, maxdist, workers, step, stride)
    np.savetxt(out_path, result, fmt="%.9g")
    step("peer_write")

    for name, seconds in steps:
        print("%s %.4f" % (name, seconds))
    print("peer_cores %d" % len(result))
    print("peer_with_distance %d" % int(np.count_nonzero(~np.isnan(result[:, 0]))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
