#include "input/lzf.h"

#include <cstring>

namespace ptdelta {

// Tokens: a control byte below 32 starts a literal run of control + 1 bytes;
// otherwise its top three bits are the length (7: one more length byte follows),
// its low five bits and the next byte the distance back, minus one, and the
// copy is length + 2 bytes long, byte by byte, since it may overlap itself.
LzfResult lzf_decompress(const unsigned char* in, std::size_t in_size, unsigned char* out,
                         std::size_t out_capacity) {
  LzfResult r;
  std::size_t ip = 0, op = 0;
  while (ip < in_size) {
    const unsigned ctrl = in[ip];
    if (ctrl < 32) {
      const std::size_t length = ctrl + 1U;
      if (in_size - ip - 1 < length) {
        r.status = LzfStatus::input_ended;
        break;
      }
      if (out_capacity - op < length) {
        r.status = LzfStatus::output_full;
        break;
      }
      std::memcpy(out + op, in + ip + 1, length);
      ip += 1 + length;
      op += length;
      continue;
    }
    std::size_t length = ctrl >> 5;
    std::size_t token = 2;  // control and distance bytes
    if (length == 7) ++token;
    if (in_size - ip < token) {
      r.status = LzfStatus::input_ended;
      break;
    }
    if (length == 7) length += in[ip + 1];
    length += 2;
    const std::size_t distance = ((static_cast<std::size_t>(ctrl & 0x1fU) << 8) | in[ip + token - 1]) + 1;
    if (distance > op) {
      r.status = LzfStatus::bad_reference;
      break;
    }
    if (out_capacity - op < length) {
      r.status = LzfStatus::output_full;
      break;
    }
    for (std::size_t k = 0; k < length; ++k, ++op) out[op] = out[op - distance];
    ip += token;
  }
  r.produced = op;
  return r;
}

}  // namespace ptdelta
