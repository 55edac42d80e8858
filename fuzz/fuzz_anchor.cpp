// Anchor commands on arbitrary bytes: a cell, when there is one, lies in the 3x3 grid, and only
// texts with the exact prefix and exactly one comma name one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "wheel/geometry.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view cmd(reinterpret_cast<const char*>(data), size);
  const auto cell = nimbra::Geometry::anchorCell(cmd);
  if (!cell) return 0;
  check(cell->column >= 0 && cell->column <= 2);
  check(cell->row >= 0 && cell->row <= 2);
  check(cmd.starts_with("anchor:"));
  const std::string_view rest = cmd.substr(7);
  const std::size_t comma = rest.find(',');
  check(comma != std::string_view::npos && rest.find(',', comma + 1) == std::string_view::npos);
  return 0;
}
