// json_report.h - the run as one JSON object, for scripts
// Figures as the shortest decimals that read back to the same float; NaN and infinities as null.
#pragma once

#include <string>
#include <string_view>

#include "core/failure.h"
#include "report/output_file.h"
#include "report/run_result.h"

namespace ptdelta {

// The shortest decimal that reads back to `v` (std::to_chars), or "null" when v is not finite.
std::string json_number(float v);
std::string json_number(double v);

// A JSON string literal. Control characters, '"' and '\\' are escaped; a byte
// that is not part of valid UTF-8 is written as the code point of the same
// value (\u00XX), so any file name gives valid JSON.
std::string json_string(std::string_view text);

// The whole document, ending with "\n". Every field but "seconds" is a function
// of the inputs and options alone.
std::string json_report(const RunResult& result);

// Writes json_report(result) to `file`; write errors are reported by file.complete().
Failure write_json_report(OutputFile& file, const RunResult& result);

}  // namespace ptdelta
