// lzf.h - the LZF decompressor behind compressed PCD bodies
// Every literal and back-reference is checked against both buffers: hostile input only ever stops it.
#pragma once

#include <cstddef>

namespace ptdelta {

enum class LzfStatus {
  complete,        // the whole input was decoded
  input_ended,     // the input ended inside a literal run or a back-reference
  output_full,     // the next token would write beyond `out_capacity`
  bad_reference,   // a back-reference points before the start of the output
};

struct LzfResult {
  LzfStatus status = LzfStatus::complete;
  std::size_t produced = 0;  // bytes written to `out`; every one of them is decoded output
};

// Decodes [in, in + in_size) into [out, out + out_capacity). A token is written
// whole or not at all, so `produced` always ends at a token boundary.
LzfResult lzf_decompress(const unsigned char* in, std::size_t in_size, unsigned char* out,
                         std::size_t out_capacity);

// The most bytes `in_size` bytes of LZF can decode to: a three-byte
// back-reference gives at most 264 bytes.
inline constexpr std::size_t lzf_max_expansion = 88;

}  // namespace ptdelta
