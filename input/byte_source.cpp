#include "input/byte_source.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "input/text_tokens.h"

namespace ptdelta {

ByteSource::ByteSource(std::FILE* file, std::size_t block_size)
    : file_(file), block_(new char[block_size]), block_size_(block_size) {
  cur_ = end_ = counted_from_ = block_.get();
  // A stream without a descriptor (in memory) or that cannot be examined counts as bounded.
  struct stat st {};
  const int fd = fileno(file);
  bounded_ = fd < 0 || fstat(fd, &st) != 0 || S_ISREG(st.st_mode);
  seekable_ = false;
  if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const long position = std::ftell(file);
    if (position >= 0 && position <= st.st_size) {
      file_size_ = static_cast<std::int64_t>(st.st_size);
      file_consumed_ = origin_ = position;
      seekable_ = true;
    }
  }
}

std::int64_t count_line_ends(const char* b, const char* e) {
  // Eight bytes at a time: in x = word ^ "\n\n\n\n\n\n\n\n" a byte is zero
  // exactly where the word held '\n', and `hit` sets the top bit of exactly
  // those bytes (no carry crosses a byte: each sum stays below 0x100). The hits
  // are added up in eight byte-wide counters, at most 255 words at a time so
  // none overflows, then summed (no population count: the baseline x86-64 has
  // none, and the library's loop would cost more than the count itself).
  constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
  constexpr std::uint64_t even_bytes = 0x00FF00FF00FF00FFULL;
  std::int64_t n = 0;
  while (e - b >= 8) {
    const char* const stop = b + 8 * std::min<std::ptrdiff_t>(255, (e - b) / 8);
    std::uint64_t counters = 0;
    for (; b != stop; b += 8) {
      std::uint64_t word;
      std::memcpy(&word, b, sizeof word);
      const std::uint64_t x = word ^ 0x0A0A0A0A0A0A0A0AULL;
      const std::uint64_t hit = ~(((x & low7) + low7) | x | low7);
      counters += hit >> 7;
    }
    // Four 16-bit sums of two counters each (at most 510), then their total.
    const std::uint64_t pairs = (counters & even_bytes) + ((counters >> 8) & even_bytes);
    n += static_cast<std::int64_t>((pairs * 0x0001000100010001ULL) >> 48);
  }
  for (; b != e; ++b) n += *b == '\n';
  return n;
}

ByteSource::ByteSource(const void* data, std::size_t size)
    : cur_(static_cast<const char*>(data)),
      end_(static_cast<const char*>(data) + size),
      counted_from_(cur_),
      memory_(cur_),
      data_size_(static_cast<std::int64_t>(size)) {}

// Called before the bytes of the current buffer go away: the mark (if it lies
// in them) gets its line, and every '\n' up to the cursor is counted.
void ByteSource::fold_counts() {
  if (mark_ != nullptr) {
    newlines_before_ += count_line_ends(counted_from_, mark_);
    marked_line_ = newlines_before_ + 1;
    counted_from_ = mark_;
    mark_ = nullptr;
  }
  newlines_before_ += count_line_ends(counted_from_, cur_);
  counted_from_ = cur_;
}

std::int64_t ByteSource::marked_line() const {
  if (mark_ == nullptr) return marked_line_ == 0 ? 0 : marked_line_ + newlines_skipped();
  return newlines_skipped() + newlines_before_ + count_line_ends(counted_from_, mark_) + 1;
}

// The '\n' bytes a seek in a file went past, read back with pread (which leaves
// the stream's own position alone) the first time a line is asked for.
std::int64_t ByteSource::newlines_skipped() const {
  if (uncounted_before_ == 0) return 0;
  if (uncounted_newlines_ >= 0) return uncounted_newlines_;
  std::int64_t n = 0;
  char chunk[1 << 16];
  const int fd = fileno(file_);
  for (std::uint64_t done = 0; done < uncounted_before_;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(sizeof chunk, uncounted_before_ - done));
    const ssize_t got = pread(fd, chunk, want, static_cast<off_t>(static_cast<std::uint64_t>(origin_) + done));
    if (got <= 0) break;  // a file cut short since: only the bytes still there count
    n += count_line_ends(chunk, chunk + got);
    done += static_cast<std::uint64_t>(got);
  }
  uncounted_newlines_ = n;
  return n;
}

std::int64_t ByteSource::position() const {
  const std::int64_t read_in = file_ == nullptr ? data_size_ : file_consumed_ - origin_;
  return read_in - static_cast<std::int64_t>(end_ - cur_);
}

bool ByteSource::seek(std::uint64_t offset) {
  if (!seekable_) return false;
  const std::int64_t size = file_ == nullptr ? data_size_ : file_size_ - origin_;
  if (offset > static_cast<std::uint64_t>(size)) return false;
  const auto at = static_cast<std::int64_t>(offset);
  if (file_ != nullptr && std::fseek(file_, static_cast<long>(origin_ + at), SEEK_SET) != 0) {
    failed_ = true;
    return false;
  }
  if (recording_ != nullptr) recording_->append(recorded_from_, cur_);
  front_ = std::string();
  serving_front_ = false;
  mark_ = nullptr;
  marked_line_ = 0;
  if (file_ == nullptr) {
    cur_ = memory_ + at;
    end_ = memory_ + data_size_;
    newlines_before_ = count_line_ends(memory_, cur_);
  } else {
    cur_ = end_ = block_.get();
    file_consumed_ = origin_ + at;
    newlines_before_ = 0;
    uncounted_before_ = offset;
    uncounted_newlines_ = -1;
  }
  counted_from_ = recorded_from_ = cur_;
  return true;
}

bool ByteSource::skip_space() {
  for (;;) {
    const char* p = cur_;
    while (p != end_ && is_text_space(*p)) ++p;
    cur_ = p;
    if (p != end_) return true;
    if (!refill()) return false;
  }
}

void ByteSource::unread(const std::string& bytes) {
  fold_counts();
  newlines_before_ -= count_line_ends(bytes.data(), bytes.data() + bytes.size());
  marked_line_ = 0;
  // The put-back bytes and the rest of the buffer, in one piece.
  std::string joined = bytes;
  joined.append(cur_, end_);
  front_ = std::move(joined);
  cur_ = counted_from_ = front_.data();
  end_ = cur_ + front_.size();
  serving_front_ = true;
}

bool ByteSource::refill() {
  if (cur_ != end_) return true;
  if (file_ == nullptr || failed_) return false;
  fold_counts();
  if (recording_ != nullptr) recording_->append(recorded_from_, end_);
  if (serving_front_) {
    serving_front_ = false;
    front_ = std::string();
  }
  const std::size_t n = std::fread(block_.get(), 1, block_size_, file_);
  cur_ = counted_from_ = recorded_from_ = block_.get();
  end_ = cur_ + n;
  file_consumed_ += static_cast<std::int64_t>(n);
  if (n == 0) {
    // The C library reports a failed read (EIO, a directory) like the end of the
    // file; only ferror tells them apart.
    if (std::ferror(file_)) failed_ = true;
    return false;
  }
  return true;
}

bool ByteSource::read_line(std::string& line, std::size_t limit) {
  bool any = false;
  std::size_t taken = 0;
  while (taken < limit && refill()) {
    any = true;
    const std::size_t room = std::min(limit - taken, static_cast<std::size_t>(end_ - cur_));
    const auto* nl = static_cast<const char*>(std::memchr(cur_, '\n', room));
    const char* stop = nl ? nl + 1 : cur_ + room;
    line.append(cur_, stop);
    taken += static_cast<std::size_t>(stop - cur_);
    cur_ = stop;
    if (nl) break;
  }
  return any;
}

std::int64_t ByteSource::records_that_fit(std::int64_t declared, std::int64_t record_bytes) const {
  const std::int64_t left = remaining_size();
  const std::int64_t bound = left < 0 ? std::int64_t{1} << 20 : left / std::max<std::int64_t>(1, record_bytes);
  return std::min(declared, bound);
}

bool ByteSource::skip_bytes(std::uint64_t n) {
  while (n > 0) {
    if (!refill()) return false;
    const std::uint64_t take = std::min(n, static_cast<std::uint64_t>(end_ - cur_));
    cur_ += take;
    n -= take;
  }
  return true;
}

const char* ByteSource::next_record(std::size_t size, std::vector<char>& straddling) {
  if (static_cast<std::size_t>(end_ - cur_) >= size) {
    const char* record = cur_;
    cur_ += size;
    return record;
  }
  straddling.resize(size);
  return read_bytes(straddling.data(), size) == size ? straddling.data() : nullptr;
}

std::size_t ByteSource::read_bytes(void* out, std::size_t size) {
  auto* dst = static_cast<char*>(out);
  std::size_t done = 0;
  while (done < size && refill()) {
    const std::size_t n = std::min(size - done, static_cast<std::size_t>(end_ - cur_));
    std::memcpy(dst + done, cur_, n);
    cur_ += n;
    done += n;
  }
  return done;
}

Failure read_rest(ByteSource& in, std::string& into) {
  try {
    while (in.refill()) {
      const auto n = static_cast<std::size_t>(in.buffer_end() - in.cursor());
      into.append(in.cursor(), n);
      in.skip(n);
    }
  } catch (const std::bad_alloc&) {
    return Failure::out_of_memory;
  }
  return in.end_state();
}

std::int64_t ByteSource::remaining_size() const {
  const auto buffered = static_cast<std::int64_t>(end_ - cur_);
  if (file_ == nullptr) return buffered;
  if (file_size_ < 0) return -1;
  // A file that grew or shrank since: the bound is only ever a hint.
  return std::max<std::int64_t>(0, file_size_ - file_consumed_) + buffered;
}

}  // namespace ptdelta
