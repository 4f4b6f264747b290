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
  return scan_double(token.data(), token.data() + token.size(), c.wide).converted;
}

bool convert_whole_token(std::string_view token, ReadPrecision precision, CoordinateReading& c) {
  const char* const first = token.data();
  const char* const last = first + token.size();
  const auto whole = [last](ScanResult r) { return r.converted && r.end == last; };
  if (precision != ReadPrecision::shifted && !whole(scan_float(first, last, c.single))) return false;
  if (precision != ReadPrecision::single && !whole(scan_double(first, last, c.wide))) return false;
  return true;
}

}  // namespace ptdelta
