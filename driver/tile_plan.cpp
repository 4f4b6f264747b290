#include "driver/tile_plan.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace ptdelta {

namespace {

// What a tile's point costs a task, in bytes: its coordinates and index as
// loaded, the spatial index's copy, and the result columns and query order of
// a test point, with room to spare.
constexpr double task_bytes_per_point = 32.0;

// Buffered records are appended to their files once this much waits.
constexpr std::size_t flush_limit = std::size_t{64} << 20;

}  // namespace

double tile_size_for_budget(std::int64_t budget, const PointColumns& first, float box_half_width) {
  const double h = static_cast<double>(box_half_width);
  double min_x = 0.0, max_x = 0.0, min_y = 0.0, max_y = 0.0;
  std::int64_t n = 0;
  for (std::size_t i = 0; i < static_cast<std::size_t>(first.count); ++i) {
    if (!is_finite_point(first, i)) continue;
    const double x = static_cast<double>(first.x[i]), y = static_cast<double>(first.y[i]);
    if (n == 0) {
      min_x = max_x = x;
      min_y = max_y = y;
    }
    min_x = std::min(min_x, x);
    max_x = std::max(max_x, x);
    min_y = std::min(min_y, y);
    max_y = std::max(max_y, y);
    ++n;
  }
  const double floor_size = h > 0.0 ? h : 1.0;
  if (n == 0) return floor_size;
  // Each side at least the box half-width, so a first block along a line does
  // not read as an endless density.
  const double area = std::max(max_x - min_x, floor_size) * std::max(max_y - min_y, floor_size);
  const double density = static_cast<double>(n) / area;
  // Both clouds about as dense: a tile of edge S holds density * S^2 test points
  // and density * (S + 2h)^2 reference points.
  const double points = static_cast<double>(budget) / task_bytes_per_point;
  const double size = std::sqrt(points / (2.0 * density)) - 2.0 * h;
  return std::max(size, floor_size);
}

TileSplitter::TileSplitter(std::string dir, TileGrid grid, std::int64_t budget)
    : dir_(std::move(dir)), grid_(grid), budget_(budget) {}

TileSplitter::~TileSplitter() {
  if (test_points_ != nullptr) std::fclose(test_points_);
}

bool TileSplitter::append(const std::string& path, std::string& bytes) {
  if (bytes.empty()) return true;
  std::FILE* f = std::fopen(path.c_str(), "ab");
  bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f != nullptr) ok = std::fclose(f) == 0 && ok;
  if (!ok) {
    failed_ = path;
    return false;
  }
  buffered_ -= bytes.size();
  bytes.clear();
  bytes.shrink_to_fit();
  return true;
}

bool TileSplitter::flush(std::size_t limit) {
  if (buffered_ <= limit) return true;
  for (auto& [key, tile] : tiles_) {
    tile.reference_written = tile.reference_written || !tile.reference.empty();
    if (!append(cell_path(key, true), tile.reference)) return false;
    if (!append(cell_path(key, false), tile.test)) return false;
  }
  return append(non_finite_path(dir_), non_finite_);
}

bool TileSplitter::take_reference(const PointColumns& block, std::int64_t first) {
  if (!(grid_.size > 0.0)) grid_.size = tile_size_for_budget(budget_, block, grid_.box_half_width);
  LastTile cached;
  for (std::size_t i = 0; i < static_cast<std::size_t>(block.count); ++i) {
    // A point with a non-finite coordinate fails every box test: no tile needs it.
    if (!is_finite_point(block, i)) continue;
    const auto index = static_cast<std::int32_t>(first + static_cast<std::int64_t>(i));
    const auto [first_column, last_column] = grid_.reach(block.x[i]);
    const auto [first_row, last_row] = grid_.reach(block.y[i]);
    for (std::int64_t c = first_column; c <= last_column; ++c)
      for (std::int64_t r = first_row; r <= last_row; ++r) {
        Tile* const tile = cached.at(tiles_, Key{c, r});
        append_point_record(tile->reference, index, block.x[i], block.y[i], block.z[i]);
        ++tile->reference_points;
        buffered_ += point_record_size;
      }
    if (buffered_ > flush_limit && !flush(0)) return false;
  }
  return true;
}

bool TileSplitter::take_test(const PointColumns& block, std::int64_t first) {
  if (test_points_ == nullptr) {
    test_points_ = std::fopen(test_points_path(dir_).c_str(), "wb");
    if (test_points_ == nullptr) {
      failed_ = test_points_path(dir_);
      return false;
    }
  }
  std::vector<float> xyz(3 * static_cast<std::size_t>(block.count));
  LastTile cached;
  for (std::size_t i = 0; i < static_cast<std::size_t>(block.count); ++i) {
    xyz[3 * i] = block.x[i];
    xyz[3 * i + 1] = block.y[i];
    xyz[3 * i + 2] = block.z[i];
    const auto index = static_cast<std::int32_t>(first + static_cast<std::int64_t>(i));
    if (!is_finite_point(block, i)) {
      append_point_record(non_finite_, index, block.x[i], block.y[i], block.z[i]);
      ++non_finite_points_;
    } else {
      Tile* const tile =
          cached.at(tiles_, Key{grid_.cell(static_cast<double>(block.x[i])), grid_.cell(static_cast<double>(block.y[i]))});
      append_point_record(tile->test, index, block.x[i], block.y[i], block.z[i]);
      ++tile->test_points;
    }
    buffered_ += point_record_size;
  }
  if (std::fwrite(xyz.data(), sizeof(float), xyz.size(), test_points_) != xyz.size()) {
    failed_ = test_points_path(dir_);
    return false;
  }
  return flush(flush_limit);
}

bool TileSplitter::touch(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (f != nullptr && std::fclose(f) == 0) return true;
  failed_ = path;
  return false;
}

bool TileSplitter::finish(TilePlan& plan) {
  // Reference points of tiles without test points are needed by no task.
  for (auto& [key, tile] : tiles_)
    if (tile.test_points == 0) {
      buffered_ -= tile.reference.size();
      tile.reference = std::string();
      if (tile.reference_written) std::remove(cell_path(key, true).c_str());
    }
  if (!flush(0)) return false;
  if (test_points_ != nullptr) {
    const bool ok = std::fclose(test_points_) == 0;
    test_points_ = nullptr;
    if (!ok) {
      failed_ = test_points_path(dir_);
      return false;
    }
  }
  plan.tile_size = grid_.size;
  plan.non_finite_points = non_finite_points_;
  plan.tasks.clear();
  for (const auto& [key, tile] : tiles_) {
    if (tile.test_points == 0) continue;
    const TileTask task{key.first, key.second, tile.reference_points, tile.test_points};
    // A tile that no reference point reaches has no file of them yet.
    if (!tile.reference_written && tile.reference_points == 0 && !touch(cell_path(key, true))) return false;
    plan.tasks.push_back(task);
  }
  if (plan.tasks.empty()) {
    // Only non-finite test points: one task, with no point of either cloud in its tile, measures them all.
    const TileTask task{0, 0, 0, 0};
    if (!touch(tile_path(dir_, task, true)) || !touch(tile_path(dir_, task, false))) return false;
    plan.tasks.push_back(task);
  }
  tiles_.clear();
  return true;
}

}  // namespace ptdelta
