// scan_number.h - fscanf-exact number conversions over a ByteSource or a byte range
// scan_float is glibc's "%f", scan_double its "%lf", scan_int its "%d": same value bits, same characters consumed.
#pragma once

#include "input/byte_source.h"

namespace ptdelta {

// Skips white space, takes the longest prefix that glibc's scanf "%f" would take
// (sign, digits, '.', exponent with its quirks: "1e+" is taken whole and reads 1;
// "inf", "infinity", "nan" without a payload; hexadecimal "0x1p3") and converts
// it as strtof does. On success stores the value and returns true; on failure
// leaves `value` untouched (the bytes taken are then of no further use). A token
// too long for the memory left fails and marks the source out of memory.
bool scan_float(ByteSource& in, float& value);

// glibc's scanf "%lf": exactly the characters scan_float takes, the value
// converted as strtod does (correctly rounded to double).
bool scan_double(ByteSource& in, double& value);

// glibc's scanf "%d": white space, an optional sign, decimal digits; the value is
// strtol's, narrowed to int as glibc stores it. Out of memory as for scan_float.
bool scan_int(ByteSource& in, int& value);

// What a scan of a byte range did, as from_chars tells it.
struct ScanResult {
  const char* end;     // just after the characters taken; `first` when nothing converted
  bool converted;      // the value was stored
  bool out_of_memory;  // a token too long to copy for the conversion (it then did not convert)
};

// The same conversions over [first, last), which is all the data: white space
// first, then exactly the characters the ByteSource scanner takes from the same
// bytes, so end - first is the count sscanf's "%n" gives after the conversion.
// On failure `value` is untouched.
ScanResult scan_float(const char* first, const char* last, float& value);
ScanResult scan_double(const char* first, const char* last, double& value);
ScanResult scan_int(const char* first, const char* last, int& value);

}  // namespace ptdelta
