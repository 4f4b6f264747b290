#include "input/scalar_types.h"

namespace ptdelta {

std::optional<ScalarType> ply_scalar_named(std::string_view name) {
  if (name.empty()) return std::nullopt;
  for (const ScalarFacts& facts : scalar_table)
    for (const std::string_view n : facts.ply_names)
      if (n == name) return facts.type;
  return std::nullopt;
}

std::optional<ScalarType> pcd_scalar_of(std::string_view letter, std::size_t size) {
  if (letter != "I" && letter != "U" && letter != "F") return std::nullopt;
  const bool floating = letter == "F", is_signed = letter != "U";
  for (const ScalarFacts& facts : scalar_table)
    if (facts.size == size && facts.is_integer != floating && facts.is_signed == is_signed) return facts.type;
  return std::nullopt;
}

}  // namespace ptdelta
