// Positioned reads: seek and position on memory and regular files, line counting across a seek, streams refused.
#include "input/byte_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "support/run_tool.h"

namespace ptdelta {
namespace {

const std::string data = "ab\ncd\n\nefgh\nij";

// The same bytes as memory, and as a regular file read in blocks of a few bytes
// (so a seek lands in, before and after the block that is buffered).
struct Sources {
  testing::TempDir dir;
  std::FILE* file = nullptr;
  std::unique_ptr<ByteSource> memory, from_file;
  Sources() {
    testing::write_file(dir / "data", data);
    file = std::fopen((dir / "data").c_str(), "r");
    memory = std::make_unique<ByteSource>(data.data(), data.size());
    from_file = std::make_unique<ByteSource>(file, 4);
  }
  ~Sources() {
    from_file.reset();
    std::fclose(file);
  }
};

TEST(ByteSourceSeek, MemoryAndFilesAlike) {
  // Each step: seek to `to` (or not, -1), take `take` bytes, mark; then the
  // position, the marked line and the next byte.
  const struct {
    int to, take;
    std::int64_t position, line;
    int next;
  } steps[] = {
      {-1, 4, 4, 2, 'd'}, {0, 0, 0, 1, 'a'},  {7, 0, 7, 4, 'e'},  {12, 2, 14, 5, -1},
      {3, 3, 6, 3, '\n'}, {14, 0, 14, 5, -1}, {11, 1, 12, 5, 'i'}, {1, 0, 1, 1, 'b'},
  };
  Sources s;
  for (ByteSource* in : {s.memory.get(), s.from_file.get()}) {
    EXPECT_TRUE(in->seekable());
    for (const auto& step : steps) {
      if (step.to >= 0) {
        ASSERT_TRUE(in->seek(static_cast<std::uint64_t>(step.to))) << step.to;
      }
      for (int i = 0; i < step.take; ++i) in->get();
      in->mark();
      EXPECT_EQ(in->position(), step.position) << step.to;
      EXPECT_EQ(in->marked_line(), step.line) << step.to;
      EXPECT_EQ(in->peek(), step.next) << step.to;
    }
    // Beyond the end: refused, nothing changed.
    EXPECT_FALSE(in->seek(data.size() + 1));
    EXPECT_EQ(in->position(), 1);
    EXPECT_FALSE(in->failed());
  }
}

TEST(ByteSourceSeek, PutBackBytesAndRecordingAcrossASeek) {
  ByteSource in(data.data(), data.size());
  std::string taken;
  in.read_line(taken);
  in.unread("xy");
  EXPECT_EQ(in.position(), 1);  // the put-back bytes are not taken
  std::string recorded;
  in.start_recording(recorded);
  in.get();
  ASSERT_TRUE(in.seek(8));
  in.get();
  in.stop_recording();
  EXPECT_EQ(recorded, "xf");  // what was taken, before and after the seek
  EXPECT_EQ(in.get(), 'g');
}

TEST(ByteSourceSeek, StreamsCannotSeekButCanBeCopied) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fds[1]);
  std::FILE* stream = fdopen(fds[0], "r");
  ASSERT_NE(stream, nullptr);
  {
    ByteSource in(stream, 4);
    EXPECT_FALSE(in.seekable());
    EXPECT_EQ(in.get(), 'a');
    EXPECT_FALSE(in.seek(0));
    EXPECT_EQ(in.position(), 1);
    std::string rest = "<";
    EXPECT_EQ(read_rest(in, rest), Failure::none);
    EXPECT_EQ(rest.front(), '<');  // appended to what was there
    EXPECT_EQ(rest.substr(1), data.substr(1));
    EXPECT_EQ(in.peek(), -1);
  }
  std::fclose(stream);
}

}  // namespace
}  // namespace ptdelta
