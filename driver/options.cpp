#include "driver/options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/exact.h"

namespace ptdelta {

namespace {

// strtod over the whole of `text` (leading white space allowed, as strtod takes
// it); false when nothing converts or anything is left after the number.
bool whole_number(const char* text, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0';
}

}  // namespace

bool parse_maxdist(const char* text, float& maxdist) {
  double value = 0.0;
  if (!whole_number(text, value) || std::isnan(value) || value < 0.0) return false;
  maxdist = rounded_maxdist(value);
  return true;
}

bool parse_shift(const char* text, ShiftRule& shift) {
  const std::string_view word = text;
  if (word == "none") {
    shift = {false, {}};
    return true;
  }
  double axes[3] = {0.0, 0.0, 0.0};
  std::size_t begin = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = word.find(',', begin);
    // Exactly three fields: two commas, and none after the third field.
    if ((i < 2) == (comma == std::string_view::npos)) return false;
    const std::string field(word.substr(begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin));
    if (!whole_number(field.c_str(), axes[i]) || !std::isfinite(axes[i])) return false;
    begin = comma + 1;
  }
  shift = {false, {axes[0], axes[1], axes[2]}};
  return true;
}

bool parse_thread_count(const char* text, int& threads) {
  int n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + (*p - '0');
    if (n > max_threads) return false;
  }
  if (n == 0) return false;
  threads = n;
  return true;
}

RunOptions parse_command_line(int argc, const char* const* argv, std::span<const OptionalOutput> outputs) {
  RunOptions o;
  o.optional_index.assign(outputs.size(), 0);
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    const bool has_value = i + 1 < argc;
    if (!has_value) continue;  // never read past the last argument
    const std::int32_t value = i + 1;
    if (word == "-r") {
      o.reference_index = value;
    } else if (word == "-rp") {
      o.reference_kind = InputKind::ply;
      o.reference_index = value;
    } else if (word == "-c") {
      o.test_index = value;
    } else if (word == "-cp") {
      o.test_kind = InputKind::ply_list;
      o.test_index = value;
    } else if (word == "-cpl") {
      // A list wins over a single PLY file whichever came first.
      if (o.test_kind != InputKind::ply_list) o.test_kind = InputKind::ply;
      o.test_index = value;
    } else if (word == "-t") {
      if (!parse_thread_count(argv[value], o.threads) && o.invalid == RunOptions::Invalid::none) {
        o.invalid = RunOptions::Invalid::threads;
        o.invalid_index = value;
      }
    } else if (word == "-o") {
      o.output_index = value;
    } else if (word == "-d") {
      if (!parse_maxdist(argv[value], o.maxdist) && o.invalid == RunOptions::Invalid::none) {
        o.invalid = RunOptions::Invalid::maxdist;
        o.invalid_index = value;
      }
    } else if (word == "-shift") {
      if (!parse_shift(argv[value], o.shift) && o.invalid == RunOptions::Invalid::none) {
        o.invalid = RunOptions::Invalid::shift;
        o.invalid_index = value;
      }
    }
    for (std::size_t k = 0; k < outputs.size(); ++k)
      if (word == outputs[k].option) o.optional_index[k] = value;
    // "-l" is accepted and has no effect: the box half-width always follows from maxdist.
  }
  return o;
}

void print_banner() {
  std::fputs("ptdelta " PTDELTA_VERSION " - distances of a test point cloud from a reference point cloud\n", stderr);
  std::fputs("If you use ptdelta in your research, please acknowledge it in your publications.\n", stderr);
  std::fputs("https://ptdelta.example.org\n", stderr);
  std::fputs("This software is provided as is, without warranty of any kind.\n"
             "You may use it only under the terms of its license.\n\n",
             stderr);
}

void print_help(std::span<const OptionalOutput> outputs) {
  static const char* const texts[] = {
      "3D ptdelta of 2 point clouds\n",
      "One is used as refernce\n",
      "Point clouds are ASCII files of x,y,z\n",
      "It uses two methods of distance calculation\n",
      "A. min distance between closest points if reference has more points\n",
      "B. Finds 3 closest points and calculates the distance from that \n\tplane if reference has less points\n",
      "Export includes a file named as the export.ply with extension log\nwhere statistics are dumbed.\n",
      "\nUsage: -r reference_file -c 2b_compared_file -o export_file\n",
      "export_file = export.ply\nIt exports plys files with color code G->Y->R with red being the -d distance\n",
      "defined by user. Everything red is more than the maxdist.\nThe ply file has an extra column of the absolute "
      "distance from the reference.\n",
      "Default input files are in txt format with x y z columns\n",
      "Reference and 2B compared files might be PLY files\nin the x y z nx ny nz r g b format",
      "Use -rp and -cp intead, when declaring input files\n",
      "The 2B might also be a list of PLY files in the aforementioned format.\n",
      "Use -cpl instead when declaring input file\n",
      "\nOptions\n",
      "[-d]      larger distances will be conserned as outliers. Default 5 in mm\n",
      "[-l]      box to eliminate fast far away point. Set internally automatically\n\t\tin relation with the -b "
      "parameter",
      "[-filter] second run using only points within mean+std, default: yes\n",
      "\nExamples:\n",
      "ptdelta.exe -c 3dscan.txt -r fgram.txt -d 3 -o relic3.ply\n",
      "ptdelta.exe -cp 3dscan.ply -r fgram.txt -d 3 -o relic3.ply\n",
      "ptdelta.exe -cp 3dscan.ply -rp fgram.ply -d 3 -o relic3.ply\n",
      "ptdelta.exe -c 3dscan.txt -rpl list.txt -d 3 -filter -o relic3.ply\n",
  };
  static_assert(sizeof texts / sizeof texts[0] == 24);
  for (const char* text : texts) std::fputs(text, stderr);
  // Options added since, in the same style.
  static const char* const added[] = {
      "[-shift]  X,Y,Z added to every coordinate before it is stored, or none.\n\t\tDefault: automatic for "
      "coordinates of 100000 or more\n",
      "[-t]      number of threads. Default: every hardware thread; the results are the same\n",
  };
  for (const char* text : added) std::fputs(text, stderr);
  for (const OptionalOutput& output : outputs) std::fputs(output.help, stderr);
  // What the texts above predate: clouds are recognised by their content.
  static const char* const addendum[] = {
      "\nInput formats, recognised by content whichever option names the file:\n",
      "  a first line \"ply\": PLY; a file starting with LASF: LAS 1.0 to 1.4, point formats 0 to 10\n",
      "  (not compressed); a PCD header (a first line \"# .PCD\", or a first line after comments\n",
      "  starting with VERSION or FIELDS): PCD 0.6/0.7, DATA ascii, binary or binary_compressed.\n",
  };
  for (const char* text : addendum) std::fputs(text, stderr);
  // A format added since says itself in its row's help line.
  for (const FormatRow* row : cloud_formats())
    if (*row->help != '\0') std::fprintf(stderr, "  %s\n", row->help);
  static const char* const fallback[] = {
      "  Anything else is read as its option says: -r and -c text, -rp and -cpl PLY, -cp a list\n",
      "  of files (each file of the list is recognised the same way).\n",
  };
  for (const char* text : fallback) std::fputs(text, stderr);
}

}  // namespace ptdelta
