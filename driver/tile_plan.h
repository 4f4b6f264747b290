// tile_plan.h - the grid of tiles and the split of both clouds into it as they stream in
// A test point goes to the one tile that holds it, a reference point to every tile its box can reach.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "driver/run_steps.h"
#include "driver/tile_files.h"

namespace ptdelta {

// Square tiles of edge `size` over x and y of the stored coordinates, tile
// (floor(x / size), floor(y / size)) worked out in double.
struct TileGrid {
  double size = 0.0;
  float box_half_width = 0.0f;

  // Bounded so that a huge coordinate over a small size stays a number; the
  // bound keeps the order, so the rule below holds all the same.
  static std::int64_t cell(double v, double size) {
    constexpr double bound = 1099511627776.0;  // 2^40
    return static_cast<std::int64_t>(std::fmax(-bound, std::fmin(bound, std::floor(v / size))));
  }
  std::int64_t cell(double v) const { return cell(v, size); }

  // The tiles of a reference point at r on one axis: from cell(r - h) to
  // cell(r + h), both closed, with the bounds formed as the box test forms them.
  // A test point t whose box holds r has r - h < t < r + h, so its tile
  // cell(t) lies in that range (rounding and floor never reverse an order).
  std::pair<std::int64_t, std::int64_t> reach(float r) const {
    const double rd = static_cast<double>(r), hd = static_cast<double>(box_half_width);
    return {cell(rd - hd), cell(rd + hd)};
  }
};

// The tile size a memory budget allows: see the README's rule. `first` is the
// reference's first block (its density stands for the whole cloud's).
double tile_size_for_budget(std::int64_t budget, const PointColumns& first, float box_half_width);

// Splits both clouds into tile files in `dir` as they are read: the reference
// first (every finite point into the tiles it can reach), then the test cloud
// (each finite point into its tile, every point into the test-points file in
// input order, and those with a non-finite coordinate aside). Writes are
// buffered and appended in input order, so every file is sorted by index.
class TileSplitter {
 public:
  // A grid of size 0 is chosen from `budget` at the reference's first block.
  TileSplitter(std::string dir, TileGrid grid, std::int64_t budget);
  ~TileSplitter();
  TileSplitter(const TileSplitter&) = delete;
  TileSplitter& operator=(const TileSplitter&) = delete;

  TileSink& reference_sink() { return reference_; }
  TileSink& test_sink() { return test_; }

  // After both clouds: the last buffers written, the tiles with test points
  // numbered in (column, row) order as tasks, the reference points of the
  // others dropped (only those written before are files to remove). False
  // (failed_name() set) on a write error.
  bool finish(TilePlan& plan);
  const std::string& failed_name() const { return failed_; }
  const TileGrid& grid() const { return grid_; }

 private:
  struct Tile {
    std::string reference, test;  // records not yet written
    std::int64_t reference_points = 0, test_points = 0;
    bool reference_written = false;  // its reference file exists
  };
  using Key = std::pair<std::int64_t, std::int64_t>;
  // The tile the last point went to: points of a scan come in runs of one tile,
  // so the map is searched once a run.
  struct LastTile {
    Key key{0, 0};
    Tile* tile = nullptr;
    Tile* at(std::map<Key, Tile>& tiles, const Key& k) {
      if (tile == nullptr || k != key) {
        tile = &tiles[k];
        key = k;
      }
      return tile;
    }
  };

  class Side final : public TileSink {
   public:
    Side(TileSplitter& owner, bool reference) : owner_(owner), reference_(reference) {}
    bool take(const PointColumns& block, std::int64_t first) override {
      return reference_ ? owner_.take_reference(block, first) : owner_.take_test(block, first);
    }
    const std::string& failed_name() const override { return owner_.failed_; }

   private:
    TileSplitter& owner_;
    bool reference_;
  };

  bool take_reference(const PointColumns& block, std::int64_t first);
  bool take_test(const PointColumns& block, std::int64_t first);
  // Every buffer appended to its file once more than `limit` bytes wait.
  bool flush(std::size_t limit);
  bool append(const std::string& path, std::string& bytes);
  // Writes an empty file: a tile without points of one cloud still has its file.
  bool touch(const std::string& path);
  std::string cell_path(const Key& key, bool reference) const {
    return tile_path(dir_, TileTask{key.first, key.second, 0, 0}, reference);
  }

  std::string dir_;
  TileGrid grid_;
  std::int64_t budget_;
  std::map<Key, Tile> tiles_;
  std::string non_finite_;
  std::int64_t non_finite_points_ = 0;
  std::FILE* test_points_ = nullptr;
  std::size_t buffered_ = 0;
  std::string failed_;
  Side reference_{*this, true}, test_{*this, false};
};

}  // namespace ptdelta
