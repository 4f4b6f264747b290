// local_surface.h - the normal and the least-squares plane of a neighbourhood, by an eigen solver of fixed steps
// Mean and covariance in one canonical point order, cyclic Jacobi sweeps of a fixed count, and the orientation rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ptdelta {

struct Vec3 {
  double x = 0.0, y = 0.0, z = 0.0;
};

// A symmetric 3 x 3 matrix by its upper triangle.
struct Symmetric3 {
  double xx = 0.0, xy = 0.0, xz = 0.0, yy = 0.0, yz = 0.0, zz = 0.0;
};

// Eigenvalues and unit eigenvectors; vector[k] belongs to value[k].
struct Eigen3 {
  double value[3] = {0.0, 0.0, 0.0};
  Vec3 vector[3];
};

// The number of cyclic sweeps, each rotating the pairs (0,1), (0,2), (1,2) in
// turn. Fixed, so that every neighbourhood takes the same steps; a pair whose
// entry is exactly 0 is not rotated. Eight sweeps bring a 3 x 3 matrix far
// below the last bit of a double (the convergence is quadratic).
inline constexpr int jacobi_sweeps = 8;

// The eigen system of `a` by jacobi_sweeps sweeps from the identity; each
// vector is scaled to unit length at the end.
Eigen3 solve_symmetric(const Symmetric3& a);

// The unit eigenvector of the smallest eigenvalue (the smallest index among
// equal values, so a degenerate matrix gives a fixed axis).
Vec3 smallest_eigenvector(const Symmetric3& a);

// smallest_eigenvector of each of a[0, count) into out[0, count), the same
// bits, several matrices at once: each rotation's divisions and roots wait on
// the one before, so a single matrix leaves the arithmetic units idle.
void smallest_eigenvectors(const Symmetric3* a, std::size_t count, Vec3* out);

// A point of a neighbourhood as stored.
struct SurfacePoint {
  float x = 0.0f, y = 0.0f, z = 0.0f;
};

// The mean and the unit normal of the least-squares plane of some points.
struct LocalPlane {
  bool valid = false;  // false for fewer than 3 points
  Vec3 centre;
  Vec3 normal;
};

// The plane of `points`, reordered in place to the canonical order (by x, then
// y, then z) so that the sums do not depend on the order given:
//   centre = (sum of the coordinates in double, in that order) / n;
//   covariance = (sum of the products of the centred coordinates) / n;
//   normal = smallest_eigenvector(covariance).
// A point stored twice is given twice and weighs twice.
LocalPlane fit_local_plane(std::vector<SurfacePoint>& points);

// fit_local_plane's reordering alone: by x, then y, then z.
void canonical_order(std::vector<SurfacePoint>& points);

// The same sums over `points` in the order given, for a neighbourhood that
// already comes in an order fixed by its coordinates alone (the order of a
// NeighbourGrid's traversal): fit_local_plane without its sort.
LocalPlane fit_ordered_plane(const std::vector<SurfacePoint>& points);

// fit_ordered_plane up to its eigen solver: the centre and the covariance
// (false, and nothing set, for fewer than 3 points), for a caller that
// solves many covariances at once.
bool ordered_moments(const std::vector<SurfacePoint>& points, Vec3& centre, Symmetric3& covariance);

// Which way a normal points: upwards (z > 0; z exactly 0 decided by y, then by x),
// or towards a viewpoint.
struct Orientation {
  bool towards_viewpoint = false;
  Vec3 viewpoint;
};

// `n` or -n: with a viewpoint V, n is negated when n . (V - p) < 0 (0 keeps it),
// p the place where the normal was computed.
Vec3 orient_normal(const Vec3& n, const Orientation& orientation, float px, float py, float pz);

}  // namespace ptdelta
