#include "input/coordinate.h"

#include <string>

#include "input/scan_number.h"

namespace ptdelta {

bool scan_coordinate(ByteSource& in, ReadPrecision precision, CoordinateReading& c) {
  switch (precision) {
    case ReadPrecision::single:
      return scan_float(in, c.single);
    case ReadPrecision::shifted:
      return scan_double(in, c.wide);
    case ReadPrecision::both:
      break;
  }
  if (!in.skip_space()) return false;
  std::string token;
  in.start_recording(token);
  const bool converted = scan_float(in, c.single);
  in.stop_recording();
  if (!converted) return false;
  // "%lf" takes the same characters as "%f", so the copy converts whole again.
  ByteSource again(token.data(), token.size());
  return scan_double(again, c.wide);
}

bool convert_whole_token(std::string_view token, ReadPrecision precision, CoordinateReading& c) {
  if (precision != ReadPrecision::shifted) {
    ByteSource in(token.data(), token.size());
    if (!scan_float(in, c.single) || in.peek() >= 0) return false;
  }
  if (precision != ReadPrecision::single) {
    ByteSource in(token.data(), token.size());
    if (!scan_double(in, c.wide) || in.peek() >= 0) return false;
  }
  return true;
}

}  // namespace ptdelta
