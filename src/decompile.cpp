#include "decompile.h"

#include <algorithm>
#include <string_view>

namespace velq {

namespace {

// Byte order of names, settled by the first bytes where they differ, as they
// mostly do.
inline bool name_before(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  }
  return a < b;
}

}  // namespace

void layout_object(std::span<const VelqField> fields, std::size_t id, ObjectLayout& layout) {
  layout.fields = fields;
  layout.id = id;
  auto& members = layout.members;
  const std::size_t count = fields.size();
  members.resize(count, boost::container::default_init);  // each set below
  for (std::size_t i = 0; i < count; ++i) members[i] = static_cast<std::uint16_t>(i);
  // The JSON compiler writes the fields in strictly ascending order already.
  std::size_t i = 1;
  while (i < count && name_before(fields[i - 1].name, fields[i].name)) ++i;
  if (i >= count) return;
  auto name_of = [&fields](std::uint16_t position) -> std::string_view { return fields[position].name; };
  auto before = [&name_of](std::uint16_t a, std::uint16_t b) { return name_of(a) < name_of(b); };
  // Stable, so that fields of one name stay in field order and the last of each run is the one kept.
  std::stable_sort(members.begin(), members.end(), before);
  std::size_t kept = 0;
  for (std::size_t k = 0; k < members.size(); ++k) {
    if (k + 1 < members.size() && name_of(members[k]) == name_of(members[k + 1])) continue;
    members[kept++] = members[k];
  }
  members.resize(kept);
}

}  // namespace velq
