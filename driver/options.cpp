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

namespace {

// Three comma-separated fields, each converted whole by strtod and finite.
bool parse_triple(std::string_view word, double (&axes)[3]) {
  std::size_t begin = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = word.find(',', begin);
    // Exactly three fields: two commas, and none after the third field.
    if ((i < 2) == (comma == std::string_view::npos)) return false;
    const std::string field(word.substr(begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin));
    if (!whole_number(field.c_str(), axes[i]) || !std::isfinite(axes[i])) return false;
    begin = comma + 1;
  }
  return true;
}

}  // namespace

bool parse_shift(const char* text, ShiftRule& shift) {
  const std::string_view word = text;
  if (word == "none") {
    shift = {false, {}};
    return true;
  }
  double axes[3] = {0.0, 0.0, 0.0};
  if (!parse_triple(word, axes)) return false;
  shift = {false, {axes[0], axes[1], axes[2]}};
  return true;
}

bool parse_length(const char* text, bool radius, double& value) {
  double v = 0.0;
  if (!whole_number(text, v) || !std::isfinite(v) || v < 0.0 || (radius && !(v > 0.0))) return false;
  value = v;
  return true;
}

bool parse_count(const char* text, std::int32_t least, std::int32_t& value) {
  std::int64_t n = 0;
  if (*text == '\0') return false;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    n = n * 10 + (*p - '0');
    if (n > max_point_count) return false;
  }
  if (n < least) return false;
  value = static_cast<std::int32_t>(n);
  return true;
}

bool parse_orientation(const char* text, Orientation& orientation) {
  const std::string_view word = text;
  if (word == "up") {
    orientation = Orientation{};
    return true;
  }
  double axes[3] = {0.0, 0.0, 0.0};
  if (!parse_triple(word, axes)) return false;
  orientation = {true, {axes[0], axes[1], axes[2]}};
  return true;
}

Method chosen_method(const RunOptions& options, std::int32_t reference_count, std::int32_t test_count) {
  if (options.surface.m3c2_radius > 0.0) return Method::m3c2;
  if (options.surface.plane_points > 0) return Method::local_plane;
  return method_for(reference_count, test_count);
}

bool reads_stored_normals(const RunOptions& options) {
  const SurfaceSettings& s = options.surface;
  return s.signed_distances && !(s.m3c2_radius > 0.0) && s.plane_points == 0;
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

bool parse_memory_size(const char* text, std::int64_t& bytes) {
  std::int64_t n = 0;
  const char* p = text;
  constexpr std::int64_t limit = std::int64_t{1} << 62;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > limit) return false;
  }
  if (p == text) return false;
  int shift = 0;
  if (*p == 'K' || *p == 'k') shift = 10;
  if (*p == 'M' || *p == 'm') shift = 20;
  if (*p == 'G' || *p == 'g') shift = 30;
  if (shift != 0) ++p;
  if (*p != '\0' || n == 0 || n > (limit >> shift)) return false;
  bytes = n << shift;
  return true;
}

RunOptions parse_command_line(int argc, const char* const* argv, std::span<const OptionalOutput> outputs) {
  RunOptions o;
  o.optional_index.assign(outputs.size(), 0);
  // The first invalid value of the newer options, reported by its word.
  const auto invalid = [&o](bool ok, const char* name, std::int32_t index) {
    if (ok || o.invalid != RunOptions::Invalid::none) return;
    o.invalid = RunOptions::Invalid::named;
    o.invalid_name = name;
    o.invalid_index = index;
  };
  SurfaceSettings& surface = o.surface;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "-signed") surface.signed_distances = true;  // a flag: it takes no value
    if (word == "-plan") o.plan_only = true;
    if (word == "-merge") o.merge = true;
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
    } else if (word == "-normals") {
      invalid(parse_length(argv[value], true, surface.normal_radius), "normals", value);
    } else if (word == "-m3c2") {
      invalid(parse_length(argv[value], true, surface.m3c2_radius), "m3c2", value);
    } else if (word == "-cylinder") {
      invalid(parse_length(argv[value], true, surface.cylinder_radius), "cylinder", value);
    } else if (word == "-depth") {
      invalid(parse_length(argv[value], false, surface.depth), "depth", value);
    } else if (word == "-regerror") {
      invalid(parse_length(argv[value], false, surface.registration_error), "regerror", value);
    } else if (word == "-plane") {
      invalid(parse_count(argv[value], 3, surface.plane_points), "plane", value);
    } else if (word == "-minpoints") {
      invalid(parse_count(argv[value], 1, surface.min_points), "minpoints", value);
    } else if (word == "-orient") {
      invalid(parse_orientation(argv[value], surface.orientation), "orient", value);
    } else if (word == "-tiles") {
      invalid(parse_length(argv[value], true, o.tile_size), "tiles", value);
      o.tiles_index = value;
    } else if (word == "-mem") {
      invalid(parse_memory_size(argv[value], o.memory_budget), "mem", value);
    } else if (word == "-work") {
      o.work_index = value;
    } else if (word == "-task") {
      o.task_index = value;
      std::int32_t n = 0;
      o.task = parse_count(argv[value], 0, n) ? n : -1;
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
  static const char* const surface_texts[] = {
      "[-signed] signed distances: + on the side the reference's normal points to. Normals stored\n\t\tin the "
      "reference (PLY nx ny nz, PCD normal_x normal_y normal_z), else -normals\n",
      "[-normals] R: each normal from the reference points within R of where it is needed\n",
      "[-orient] up (default: normals point to +z) or X,Y,Z: normals point towards that viewpoint\n",
      "[-plane]  K: distance to the least-squares plane of the K nearest reference points in the box\n",
      "[-m3c2]   R: M3C2 change along the normal from the reference points within R, with its\n\t\tlevel of "
      "detection (LoD95)\n",
      "[-cylinder] r: M3C2 cylinder radius. Default R/2\n",
      "[-depth]  L: M3C2 cylinder half-length. Default: maxdist\n",
      "[-regerror] E: registration error added to the LoD95. Default 0\n",
      "[-minpoints] N: M3C2 points of each cloud needed in the cylinder. Default 5\n",
  };
  for (const char* text : surface_texts) std::fputs(text, stderr);
  static const char* const tile_texts[] = {
      "[-tiles]  SIZE: the work split into square tiles of edge SIZE over x and y, each compared on its\n\t\town; "
      "the same results as one run in memory\n",
      "[-mem]    BYTES (K, M, G): the tile size chosen for a memory budget instead of -tiles\n",
      "[-work]   DIR: the folder of the plan, the tiles and their results. Default: a new folder\n\t\tbeside the "
      "export, removed at the end\n",
      "[-plan]   with -tiles or -mem and -work: write the plan and DIR/tasks, print the number of tasks\n",
      "[-task]   N: with -work, compare tile N of the plan\n",
      "[-merge]  with -work: the results of every task into the outputs the plan names\n",
  };
  for (const char* text : tile_texts) std::fputs(text, stderr);
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
