#include "distance/local_surface.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/exact.h"

namespace ptdelta {

namespace {

// The matrix as a full array, so that one rotation serves every pair.
struct Work {
  double a[3][3];
  double v[3][3];  // column k is the k-th eigenvector
};

// Zeroes a[p][q] (p < q) by one rotation, applied to the matrix on both sides
// and to the vectors on the right.
void rotate(Work& w, int p, int q) {
  const double apq = w.a[p][q];
  if (apq == 0.0) return;
  const double t = jacobi_tangent(w.a[p][p], w.a[q][q], apq);
  const double c = jacobi_cosine(t);
  const double s = t * c;
  w.a[p][p] = w.a[p][p] - t * apq;
  w.a[q][q] = w.a[q][q] + t * apq;
  w.a[p][q] = 0.0;
  w.a[q][p] = 0.0;
  const int r = 3 - p - q;  // the third index
  const double arp = w.a[r][p], arq = w.a[r][q];
  w.a[r][p] = w.a[p][r] = c * arp - s * arq;
  w.a[r][q] = w.a[q][r] = s * arp + c * arq;
  for (int k = 0; k < 3; ++k) {
    const double vkp = w.v[k][p], vkq = w.v[k][q];
    w.v[k][p] = c * vkp - s * vkq;
    w.v[k][q] = s * vkp + c * vkq;
  }
}

Vec3 unit(double x, double y, double z) {
  const double norm = std::sqrt(dot3(x, y, z, x, y, z));
  if (!(norm > 0.0)) return {x, y, z};
  return {x / norm, y / norm, z / norm};
}

}  // namespace

Eigen3 solve_symmetric(const Symmetric3& m) {
  Work w{{{m.xx, m.xy, m.xz}, {m.xy, m.yy, m.yz}, {m.xz, m.yz, m.zz}}, {{1.0, 0.0, 0.0}, {0.0, 1.0, 0.0}, {0.0, 0.0, 1.0}}};
  for (int sweep = 0; sweep < jacobi_sweeps; ++sweep) {
    rotate(w, 0, 1);
    rotate(w, 0, 2);
    rotate(w, 1, 2);
  }
  Eigen3 e;
  for (int k = 0; k < 3; ++k) {
    e.value[k] = w.a[k][k];
    e.vector[k] = unit(w.v[0][k], w.v[1][k], w.v[2][k]);
  }
  return e;
}

Vec3 smallest_eigenvector(const Symmetric3& a) {
  const Eigen3 e = solve_symmetric(a);
  int k = 0;
  if (e.value[1] < e.value[k]) k = 1;
  if (e.value[2] < e.value[k]) k = 2;
  return e.vector[k];
}

namespace {

// solve_symmetric's steps on `lanes` matrices side by side, entry [i][j][k]
// of matrix k: a lane whose entry is exactly 0 keeps every value, as rotate
// returns at once (its tangent is worked out on a stand-in and not used).
constexpr std::size_t lanes = 4;

struct Lanes {
  double a[3][3][lanes];
  double v[3][3][lanes];
};

DoublePair load(const double* from) {
  DoublePair x;
  std::memcpy(&x, from, sizeof x);
  return x;
}

void store(double* to, DoublePair x) { std::memcpy(to, &x, sizeof x); }

// rotate's steps on two lanes at once, from lane h.
void rotate_pair(Lanes& w, int p, int q, std::size_t h) {
  const int r = 3 - p - q;
  const DoublePair apq = load(&w.a[p][q][h]);
  const auto keep = apq == 0.0;
  const DoublePair one = {1.0, 1.0};
  const DoublePair app = load(&w.a[p][p][h]), aqq = load(&w.a[q][q][h]);
  const DoublePair arp = load(&w.a[r][p][h]), arq = load(&w.a[r][q][h]);
  const DoublePair t = jacobi_tangent(app, aqq, keep ? one : apq);
  const DoublePair c = jacobi_cosine(t);
  const DoublePair s = t * c;
  const DoublePair zero = {0.0, 0.0};
  store(&w.a[p][p][h], keep ? app : app - t * apq);
  store(&w.a[q][q][h], keep ? aqq : aqq + t * apq);
  const DoublePair pq = keep ? apq : zero;
  store(&w.a[p][q][h], pq);
  store(&w.a[q][p][h], pq);
  const DoublePair rp = keep ? arp : c * arp - s * arq;
  const DoublePair rq = keep ? arq : s * arp + c * arq;
  store(&w.a[r][p][h], rp);
  store(&w.a[p][r][h], rp);
  store(&w.a[r][q][h], rq);
  store(&w.a[q][r][h], rq);
  for (int i = 0; i < 3; ++i) {
    const DoublePair vip = load(&w.v[i][p][h]), viq = load(&w.v[i][q][h]);
    store(&w.v[i][p][h], keep ? vip : c * vip - s * viq);
    store(&w.v[i][q][h], keep ? viq : s * vip + c * viq);
  }
}

void rotate_lanes(Lanes& w, int p, int q) {
  static_assert(lanes % 2 == 0);
  for (std::size_t h = 0; h < lanes; h += 2) rotate_pair(w, p, q, h);
}

}  // namespace

void smallest_eigenvectors(const Symmetric3* m, std::size_t count, Vec3* out) {
  for (std::size_t first = 0; first < count; first += lanes) {
    Lanes w;
    for (std::size_t k = 0; k < lanes; ++k) {
      // A short last group repeats its last matrix in the spare lanes.
      const Symmetric3& x = m[std::min(first + k, count - 1)];
      const double rows[3][3] = {{x.xx, x.xy, x.xz}, {x.xy, x.yy, x.yz}, {x.xz, x.yz, x.zz}};
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
          w.a[i][j][k] = rows[i][j];
          w.v[i][j][k] = i == j ? 1.0 : 0.0;
        }
    }
    for (int sweep = 0; sweep < jacobi_sweeps; ++sweep) {
      rotate_lanes(w, 0, 1);
      rotate_lanes(w, 0, 2);
      rotate_lanes(w, 1, 2);
    }
    for (std::size_t k = 0; k < lanes && first + k < count; ++k) {
      int e = 0;
      if (w.a[1][1][k] < w.a[e][e][k]) e = 1;
      if (w.a[2][2][k] < w.a[e][e][k]) e = 2;
      out[first + k] = unit(w.v[0][e][k], w.v[1][e][k], w.v[2][e][k]);
    }
  }
}

void canonical_order(std::vector<SurfacePoint>& points) {
  std::sort(points.begin(), points.end(), [](const SurfacePoint& a, const SurfacePoint& b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z < b.z;
  });
}

LocalPlane fit_local_plane(std::vector<SurfacePoint>& points) {
  canonical_order(points);
  return fit_ordered_plane(points);
}

bool ordered_moments(const std::vector<SurfacePoint>& points, Vec3& centre, Symmetric3& covariance) {
  if (points.size() < 3) return false;
  const auto n = static_cast<std::int32_t>(points.size());
  // The sums of x and y side by side, of xx and xy, xz and yy, yz and zz:
  // each lane the one sum it stands for, in the points' order.
  DoublePair sxy = {0.0, 0.0};
  double sz = 0.0;
  for (const SurfacePoint& p : points) {
    sxy += DoublePair{static_cast<double>(p.x), static_cast<double>(p.y)};
    sz += static_cast<double>(p.z);
  }
  centre = {mean_of(sxy[0], n), mean_of(sxy[1], n), mean_of(sz, n)};
  const DoublePair cxy = {centre.x, centre.y};
  DoublePair xx_xy = {0.0, 0.0}, xz_yy = {0.0, 0.0}, yz_zz = {0.0, 0.0};
  for (const SurfacePoint& p : points) {
    const DoublePair d = DoublePair{static_cast<double>(p.x), static_cast<double>(p.y)} - cxy;
    const double dz = difference(p.z, centre.z);
    const DoublePair dx_dx = {d[0], d[0]}, dz_dy = {dz, d[1]}, dy_dz = {d[1], dz}, dz_dz = {dz, dz};
    xx_xy += dx_dx * d;
    xz_yy += d * dz_dy;
    yz_zz += dy_dz * dz_dz;
  }
  covariance = {mean_of(xx_xy[0], n), mean_of(xx_xy[1], n), mean_of(xz_yy[0], n),
                mean_of(xz_yy[1], n), mean_of(yz_zz[0], n), mean_of(yz_zz[1], n)};
  return true;
}

LocalPlane fit_ordered_plane(const std::vector<SurfacePoint>& points) {
  LocalPlane plane;
  Symmetric3 c;
  if (!ordered_moments(points, plane.centre, c)) return plane;
  plane.normal = smallest_eigenvector(c);
  plane.valid = true;
  return plane;
}

Vec3 orient_normal(const Vec3& n, const Orientation& o, float px, float py, float pz) {
  bool flip = false;
  if (o.towards_viewpoint) {
    flip = dot3(n.x, n.y, n.z, o.viewpoint.x - static_cast<double>(px), o.viewpoint.y - static_cast<double>(py),
                o.viewpoint.z - static_cast<double>(pz)) < 0.0;
  } else {
    flip = n.z != 0.0 ? n.z < 0.0 : n.y != 0.0 ? n.y < 0.0 : n.x < 0.0;
  }
  return flip ? Vec3{-n.x, -n.y, -n.z} : n;
}

}  // namespace ptdelta
