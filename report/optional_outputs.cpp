#include "report/optional_outputs.h"

#include "report/binary_ply.h"
#include "report/html_report.h"
#include "report/json_report.h"

namespace ptdelta {

namespace {

constexpr OptionalOutput rows[] = {
    {"-json",
     "[-json]   file: the run as one JSON object for scripts (inputs, counts, figures,\n\t\tpercentiles, "
     "histogram)\n",
     true, true, write_json_report},
    {"-html", "[-html]   file: a self-contained report page with a histogram and a top view of the distances\n",
     true, false, write_html_report},
    {"-ob", "[-ob]     file: the test points as binary PLY with red green blue and scalar_distance\n", false, false,
     write_binary_ply},
};

}  // namespace

std::span<const OptionalOutput> optional_outputs() { return rows; }

}  // namespace ptdelta
