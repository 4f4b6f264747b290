// field_groups.h - groups of typed fields (ASCII PLY bodies) parsed on several threads
// Tokens are counted first, so each is parsed by its place in a group; what does not read token by token is left to the one-thread reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/failure.h"
#include "core/point_cloud.h"
#include "input/byte_source.h"

namespace ptdelta {

// One field of a group: how it converts and which coordinate it gives, if any.
struct GroupField {
  bool integer = false;  // "%d"; otherwise "%f" ("%lf" for a coordinate read shifted)
  int axis = -1;         // 0, 1, 2 for x, y, z
  int normal = -1;       // 0, 1, 2 for nx, ny, nz (as float, never shifted); neither: only taken
};

struct FieldGroupsEnd {
  Failure failure = Failure::none;
  std::int64_t groups = 0;  // the groups appended
};

// Reads groups of `fields` (x, y and z each once among them) from `in`, at most
// `most_groups`, and appends their points through `out` (with their normals
// when nx, ny and nz are each once among them too), whose precision must
// be single or shifted (not both). The bytes are read in windows of
// `window_bytes` parsed on `threads` threads; the points are appended in order.
// Where every field of a group is one white-space-separated token that converts
// whole under its type, the group reads as a one-thread scan reads it. From the
// first group where that is not so (a "%d" field "1.5" is taken as "1", and the
// next field begins at ".5"), or that the data ends inside, the bytes are put
// back into `in`: the one-thread reader going on from there reads what it
// would have read all along, its stop line included. Once `most_groups` groups
// are read, the bytes read after them are dropped. Throws std::bad_alloc.
FieldGroupsEnd read_field_groups(ByteSource& in, PointAppender& out, const std::vector<GroupField>& fields,
                                 std::int64_t most_groups, int threads, std::size_t window_bytes);

}  // namespace ptdelta
