// method.h - the distance methods: which one a run uses, what it is called, and how it measures a point
// A method is chosen once per run; every name, console line and branch goes through its traits.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "core/point_cloud.h"
#include "distance/local_surface.h"
#include "distance/neighbour_grid.h"
#include "distance/plane.h"

namespace ptdelta {

// Cd value of a point that takes no part in the statistics; compared by exact equality.
inline constexpr float excluded_distance = -1.0f;

enum class PointOutcome : std::uint8_t {
  accepted,  // its distance counts
  outlier,   // beyond maxdist (or, under the nearest-point method, no reference point in its box)
  rejected,  // the method found no surface to measure against (no plane, or no normal)
  too_few,   // M3C2: fewer than the minimum of points of either cloud inside the cylinder
};

enum class Method { nearest_point, plane, local_plane, m3c2 };

// The entry of a point without a distance in a signed run, where every value
// (-1 included) is a distance.
inline constexpr float no_signed_distance = std::numeric_limits<float>::quiet_NaN();

// What the signed and local-surface methods are asked for; the defaults are a plain run.
struct SurfaceSettings {
  bool signed_distances = false;  // -signed (M3C2 is always signed)
  double normal_radius = 0.0;     // -normals R: 0 when not given
  Orientation orientation;        // -orient
  std::int32_t plane_points = 0;  // -plane K
  double m3c2_radius = 0.0;       // -m3c2 R
  double cylinder_radius = -1.0;  // -cylinder r: below 0 when not given (R / 2)
  double depth = -1.0;            // -depth L: below 0 when not given (maxdist)
  double registration_error = 0.0;  // -regerror E
  std::int32_t min_points = 5;      // -minpoints N
};

// The nearest reference point by the nearest-point method's rule: the smallest
// point_distance inside the box, the smallest index among equals.
struct NearestPoint {
  float distance = std::numeric_limits<float>::infinity();  // +infinity when the box holds none
  std::int32_t index = -1;  // -1 when the box holds none
};

// What the pass asks of the reference cloud, one test point at a time. Every
// implementation gives the same bits: the product searches with the spatial
// index, the tests check it against a scan of the whole cloud. Only point j's
// coordinates matter: `test` may be a block the pass gathered the points into.
class ReferenceSearch {
 public:
  virtual ~ReferenceSearch() = default;
  // The smallest point_distance over the reference points inside the box
  // around test point j; +infinity when no point is inside.
  virtual float nearest(const PointColumns& test, std::int32_t j) const = 0;
  // The candidates of the in-order scan and its count of strict improvements
  // (any count of three or more may be given as 3). Candidates that do not
  // exist are left as they were.
  virtual std::int32_t track_closer_points(const PointColumns& test, std::int32_t j,
                                           PlaneCandidates& candidates) const = 0;
  // The point nearest() measures to, with its index.
  virtual NearestPoint nearest_point(const PointColumns& test, std::int32_t j) const = 0;
};

// What the local-surface methods read besides the search: the settings with
// their defaults resolved, grids over the reference (and for M3C2 the test)
// cloud, and stored normals. Null grids where a run needs none.
struct SurfaceInput {
  SurfaceSettings settings;
  float box_half_width = 0.0f;
  const NeighbourGrid* reference = nullptr;
  const NeighbourGrid* test = nullptr;
  const StoredNormals* normals = nullptr;
  // Signed nearest point without stored normals: the oriented normal at every
  // reference point that is some test point's nearest within maxdist, computed
  // once before the pass (NaN x where there is none, or none was needed).
  const std::vector<Vec3>* estimated = nullptr;
  // With `estimated`: every test point's nearest reference point, by index in
  // the test cloud, as the search finds it (searched once, for the normals).
  const std::vector<NearestPoint>* nearest = nullptr;
};

// What a method's measurement reads besides the point.
struct MeasureInput {
  const PointColumns& ref;  // not read by a method that keeps no reference points
  const ReferenceSearch& search;
  float maxdist;
  const SurfaceInput* surface = nullptr;  // null for a plain run
};

// A signed or local-surface measurement's extras (NaN, 0 where there are none).
struct SurfaceMeasure {
  float normal[3] = {no_signed_distance, no_signed_distance, no_signed_distance};
  float lod95 = no_signed_distance;
  bool significant = false;
  std::int32_t reference_count = 0;  // M3C2: points inside the cylinder
  std::int32_t test_count = 0;
};

struct PointMeasure {
  float distance = excluded_distance;  // the distance of an accepted point, excluded_distance otherwise
  PointOutcome outcome = PointOutcome::accepted;
  SurfaceMeasure surface;

  PointMeasure() = default;
  PointMeasure(float d, PointOutcome o) : distance(d), outcome(o) {}
};

// Per-thread working state a method may carry from one point to the next; a
// result never depends on it (a method sets whatever it reads again).
struct MeasureScratch {
  PlaneCandidates candidates;
  std::vector<SurfacePoint> neighbours;
  std::vector<double> along, along_test;  // a core point's two cylinders
  std::vector<RankedPoint> ranked;
  std::vector<PointMeasure> measures;  // a block's, for the pass
};

struct MethodTraits {
  const char* key;          // as the JSON report names it
  const char* description;  // as the console's "Method: %s" line says it
  // Whether the measurement reads the reference cloud itself, besides the
  // index (which holds its own copy of every point): otherwise the pass may
  // let the cloud go as soon as the index is built.
  bool reads_reference;
  // Stage 1's line for the rejected count ("%s\t%d\n"), also when it is 0;
  // null for a method that rejects nothing.
  const char* rejected_label;
  // For M3C2: the second rejected line (too few points); null otherwise.
  const char* too_few_label;
  // Whether stage 1 shows "> than maxdist:" (M3C2 has no outlier test).
  bool has_outliers;
  // Point j of `points`; `own` is its index in the test cloud (j itself
  // unless the pass gathered the points into a block of their own).
  PointMeasure (*measure)(const MeasureInput& in, const PointColumns& points, std::int32_t j, std::int32_t own,
                          MeasureScratch& scratch);
  // Null, or what measure gives for points first .. first + count - 1 of
  // `points` into out[0 .. count - 1], the same bits, worked out together (the
  // eigen solver takes their covariances at once). The points' own indices
  // are not given: only a method that reads none has this.
  void (*measure_block)(const MeasureInput& in, const PointColumns& points, std::int32_t first, std::int32_t count,
                        MeasureScratch& scratch, PointMeasure* out);
};

// The traits of every method, each defined beside its measurement.
const MethodTraits& method_traits(Method method);

// The nearest-point method when the reference cloud has at least as many
// points as the test cloud (equal counts included), otherwise the plane
// through three kept reference points.
inline Method method_for(std::int32_t reference_count, std::int32_t test_count) {
  return reference_count >= test_count ? Method::nearest_point : Method::plane;
}

extern const MethodTraits nearest_point_traits;
extern const MethodTraits plane_traits;
extern const MethodTraits signed_nearest_traits;
extern const MethodTraits local_plane_traits;
extern const MethodTraits m3c2_traits;

// The traits a run measures with: the signed nearest-point rows when the
// nearest-point method is asked for signs.
const MethodTraits& measuring_traits(Method method, const SurfaceSettings& settings);

// The normal of the reference points within `radius` of p, oriented at p; none
// (valid false) for fewer than 3 points.
LocalPlane estimate_normal(const NeighbourGrid& grid, float px, float py, float pz, double radius,
                           const Orientation& orientation, std::vector<SurfacePoint>& scratch);

}  // namespace ptdelta
