// The module's strings from the table compiled in from the resource script.
#include <algorithm>

#include "framework/backend.h"
#include "framework/string_table.h"

namespace fw::backend {

bool LoadModuleString(unsigned id, std::string& text) {
  const detail::StringTableEntry* begin = detail::kStringTable;
  const detail::StringTableEntry* end = begin + detail::kStringTableSize;
  const auto* entry =
      std::lower_bound(begin, end, id, [](const detail::StringTableEntry& e, unsigned value) { return e.id < value; });
  if (entry == end || entry->id != id) return false;
  text.assign(entry->text, entry->length);
  return true;
}

}  // namespace fw::backend
