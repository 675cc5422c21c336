#include "lib/name_index.h"

#include <algorithm>

namespace kotar {

void NameIndex::sort() { std::sort(sorted_.begin(), sorted_.end()); }

std::optional<std::size_t> NameIndex::find(std::string_view name) const {
    // The last entry with this name is the latest member that has it.
    const auto after = std::upper_bound(sorted_.begin(), sorted_.end(), name,
                                        [](std::string_view key, const auto& entry) { return key < entry.first; });
    if (after == sorted_.begin() || std::prev(after)->first != name) return std::nullopt;
    return std::prev(after)->second;
}

}  // namespace kotar
