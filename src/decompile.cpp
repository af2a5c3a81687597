#include "decompile.h"

#include <algorithm>
#include <numeric>

namespace velq {

ObjectLayout layout_object(const std::vector<VelqField>& fields, std::size_t id) {
  ObjectLayout layout;
  layout.fields = &fields;
  layout.id = id;
  auto& members = layout.members;
  members.resize(fields.size());
  std::iota(members.begin(), members.end(), std::uint16_t{0});
  auto name_of = [&fields](std::uint16_t position) -> std::string_view { return fields[position].name; };
  auto before = [&name_of](std::uint16_t a, std::uint16_t b) { return name_of(a) < name_of(b); };
  // The JSON compiler writes the fields in strictly ascending order already.
  auto not_before = [&before](std::uint16_t a, std::uint16_t b) { return !before(a, b); };
  if (std::adjacent_find(members.begin(), members.end(), not_before) == members.end()) return layout;
  // Stable, so that fields of one name stay in field order and the last of each run is the one kept.
  std::stable_sort(members.begin(), members.end(), before);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && name_of(members[i]) == name_of(members[i + 1])) continue;
    members[kept++] = members[i];
  }
  members.resize(kept);
  return layout;
}

}  // namespace velq
