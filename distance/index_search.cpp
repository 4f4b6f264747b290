// The result sets of the indexed searches (nearest, ranked, collected) and the searches built on them.
#include "distance/spatial_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>

#include "core/exact.h"
#include "distance/index_traversal.h"

namespace ptdelta {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
constexpr float no_neighbour = std::numeric_limits<float>::infinity();
constexpr std::int32_t no_index = -1;

// Pruning margins. Lower bounds of squared distances (from column and block
// bounds) are formed in double with a few roundings, far below 1e-9 relative.
//  - Method A keeps the smallest squared distance s in double, exactly as
//    point_distance forms it before rounding: its distance, float(sqrt(float(s))),
//    never decreases as s grows, so the smallest distance is that of the
//    smallest s. Anything whose bound exceeds best_sq * (1 + square_margin)
//    cannot lower it.
//  - Method B breaks ties of the rounded distance by index, so it compares
//    rounded distances. A computed point_distance is within 1e-6 relative of
//    the true distance, plus under 1e-22 absolute when the squared distance
//    falls among float subnormals; anything whose true distance exceeds
//    best * (1 + relative_margin) + absolute_margin cannot round to a
//    distance equal to best, so no tie is ever skipped.
constexpr double square_margin = 1e-9;
constexpr double relative_margin = 2e-5;
constexpr double absolute_margin = 1e-20;

// The squared reach of a ranked search whose best distance so far is `best`.
double reach_squared(float best) {
  if (std::isinf(best)) return infinity;
  const double reach = static_cast<double>(best) * (1.0 + relative_margin) + absolute_margin;
  return reach * reach;
}

// ---- Result sets: what a search keeps of the points it is offered ----
//
// The traversal offers every point it cannot rule out as offer(s, index): s is
// the point's squared distance exactly as point_distance forms it before its
// two roundings, or +infinity for a point outside the box (it never counts:
// the scans start their minimum at +infinity and compare strictly, and an
// in-box point always has a finite s). Each set keeps `reach_sq`, the squared
// distance beyond which nothing can change it, which the traversal prunes by.

// Method A: the smallest squared distance. Its distance,
// float(sqrt(float(s))), never decreases as s grows, so the smallest distance
// is that of the smallest s; ties need no rule.
struct NearestSet {
  double best_sq = infinity;
  double reach_sq = infinity;

  static bool skips_indices_from(std::int32_t) { return false; }
  double settled_reach() const { return best_sq * (1.0 + square_margin); }
  // Whether a point qualifies is a coin toss the branch predictor loses: no branches.
  void offer(double s, std::int32_t) {
    best_sq = std::min(best_sq, s);
    reach_sq = std::min(reach_sq, settled_reach());
  }
};

// Method B, one link of the chain: the smallest (distance, index) over the
// points with an index below `limit`. Distances are the rounded ones: equal
// distances go to the smaller index.
struct RankedSet {
  std::int32_t limit = std::numeric_limits<std::int32_t>::max();
  float best = no_neighbour;
  std::int32_t best_index = no_index;
  double reach_sq = infinity;

  bool skips_indices_from(std::int32_t first_index) const { return first_index >= limit; }
  double settled_reach() const { return reach_squared(best); }
  void offer(double s, std::int32_t index) {
    if (index >= limit || s > reach_sq) return;
    const float d = distance_of_squared(s);
    if (d == best && index < best_index) best_index = index;
    if (!(d < best)) return;
    best = d;
    best_index = index;
    reach_sq = reach_squared(d);
  }
};

// A collected point as one number that orders like (distance, index): the
// bits of a non-negative float order as its values do.
using RankKey = std::uint64_t;
constexpr RankKey no_key = std::numeric_limits<RankKey>::max();
constexpr int collect_capacity = 128;

RankKey rank_key(float d, std::int32_t index) {
  return (static_cast<RankKey>(std::bit_cast<std::uint32_t>(d)) << 32) | static_cast<std::uint32_t>(index);
}
float key_distance(RankKey key) { return std::bit_cast<float>(static_cast<std::uint32_t>(key >> 32)); }
std::int32_t key_index(RankKey key) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(key)); }

// Method B, the first links at once: every in-box point within a fixed reach,
// with its distance, unless there are too many (one spare slot: every point is
// written, only those that qualify are counted).
struct CollectSet {
  RankKey found[collect_capacity + 1];
  int count = 0;
  bool overflow = false;
  double reach_sq = 0.0;

  explicit CollectSet(double radius) : reach_sq(radius * radius) {}
  static bool skips_indices_from(std::int32_t) { return false; }
  void offer(double s, std::int32_t index) {
    const float d = distance_of_squared(s);
    const bool take = (s <= reach_sq) & (d != no_neighbour);
    found[count] = rank_key(d, index);
    count += take ? 1 : 0;
    if (count == collect_capacity) {
      // Too many to be of use: the caller falls back to ranked searches, so
      // the traversal may stop here (nothing is within a negative reach).
      overflow = true;
      --count;
      reach_sq = -infinity;
    }
  }
  // The smallest key with an index below `limit`, or no_key.
  RankKey smallest_below(std::int32_t limit) const {
    RankKey least = no_key;
    for (int k = 0; k < count; ++k) least = std::min(least, key_index(found[k]) < limit ? found[k] : no_key);
    return least;
  }
};

}  // namespace

float indexed_nearest_distance(const SpatialIndex& index, const PointColumns& test, std::int32_t j) {
  IndexSearch search(index);
  if (!search.prepare(test, j)) return no_neighbour;
  NearestSet nearest;
  search.run(nearest, search.cell());
  // The distance of the smallest squared distance, rounded as point_distance rounds.
  if (nearest.best_sq == infinity) return no_neighbour;
  return distance_of_squared(nearest.best_sq);
}

NearestPoint indexed_nearest_point(const SpatialIndex& index, const PointColumns& test, std::int32_t j) {
  NearestPoint found;
  IndexSearch search(index);
  if (!search.prepare(test, j)) return found;
  // The smallest (distance, index): duplicates are kept under their smallest
  // index, which is the one a tie goes to.
  RankedSet ranked;
  ranked.reach_sq = ranked.settled_reach();
  search.run(ranked, search.cell());
  if (ranked.best_index == no_index) return found;
  found.distance = ranked.best;
  found.index = ranked.best_index;
  return found;
}

std::int32_t indexed_track_closer_points(const SpatialIndex& index, const PointColumns& test, std::int32_t j,
                                         PlaneCandidates& candidates) {
  IndexSearch search(index);
  if (!search.prepare(test, j)) return 0;
  // The kept points form a chain: newest is the nearest point (smallest index
  // among equals), previous the same below newest's index, oldest the same
  // below previous's.
  std::int32_t kept = 0;
  std::int32_t limit = std::numeric_limits<std::int32_t>::max();
  const auto keep = [&](std::int32_t i) {
    (kept == 0 ? candidates.newest : kept == 1 ? candidates.previous : candidates.oldest) = i;
    limit = i;
    ++kept;
  };
  // Usually the whole chain lies within a few cells: collect every in-box
  // point within a radius and take the chain from them. A link is final when
  // its own reach fits inside the radius, since everything that could beat or
  // tie it was collected.
  const double cell = search.cell();
  double collected = 0.0;  // every in-box point within this radius has been seen
  CollectSet found(0.0);
  for (const double radius : {1.5 * cell, 3.0 * cell}) {
    if (!(radius > 0.0)) break;
    found = CollectSet(radius);
    search.scan_rows<true>(found);
    if (found.overflow) break;
    collected = radius;
    while (kept < 3) {
      const RankKey link = found.smallest_below(limit);
      if (link == no_key || reach_squared(key_distance(link)) > radius * radius) break;
      keep(key_index(link));
    }
    if (kept == 3) return 3;
  }
  // The rest of the chain by ranked searches, each below the last link. Any
  // collected point below the limit (all of them are in the box) is a valid
  // start; the missing link lies beyond the radius seen in full, so the
  // assumed reaches start beyond it.
  while (kept < 3 && limit > 0) {
    const RankKey seed = found.smallest_below(limit);
    RankedSet ranked;
    ranked.limit = limit;
    if (seed != no_key) {
      ranked.best = key_distance(seed);
      ranked.best_index = key_index(seed);
    }
    ranked.reach_sq = ranked.settled_reach();
    search.run(ranked, collected > 0.0 ? 2.0 * collected : cell);
    if (ranked.best_index == no_index) return kept;
    keep(ranked.best_index);
  }
  return kept;
}

}  // namespace ptdelta
