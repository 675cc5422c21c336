#include "lib/name_index.h"

#include <algorithm>

namespace kotar {

std::optional<std::size_t> NameIndex::find(std::string_view name, const std::vector<kotar_member>& members) const {
    std::call_once(sorted_, [this, &members] {
        entries_.reserve(members.size());
        for (std::size_t i = 0; i < members.size(); ++i) entries_.emplace_back(members[i].name, i);
        std::sort(entries_.begin(), entries_.end());
    });
    // The last entry with this name is the latest member that has it.
    const auto after = std::upper_bound(entries_.begin(), entries_.end(), name,
                                        [](std::string_view key, const auto& entry) { return key < entry.first; });
    if (after == entries_.begin() || std::prev(after)->first != name) return std::nullopt;
    return std::prev(after)->second;
}

}  // namespace kotar
