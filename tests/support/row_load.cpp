#include "support/row_load.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>

namespace ptdelta::testing {

LoadedCloud load_cloud_bytes(const std::string& bytes, const FormatRow& row, ShiftRule rule, std::size_t block) {
  LoadedCloud r;
  PointColumns cloud;
  PointAppender out(cloud, no_progress(), rule);
  if (block == 0) {
    ByteSource in(bytes.data(), bytes.size());
    r.outcome = read_cloud(InputKind::text, in, out);
  } else {
    std::FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
    EXPECT_NE(file, nullptr);
    {
      ByteSource in(file, block);
      FileFacts& facts = r.outcome.files.emplace_back();
      r.outcome.failure = read_by_row(row, in, out, facts, 1);
    }
    EXPECT_TRUE(out.finish());
    std::fclose(file);
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(cloud.count); ++i)
    for (const float v : {cloud.x[i], cloud.y[i], cloud.z[i]}) r.bits.push_back(std::bit_cast<std::uint32_t>(v));
  r.shift = out.shift();
  return r;
}

}  // namespace ptdelta::testing
