// Exact-name lookup over an archive's members: their names listed and
// sorted at the first lookup (once, whichever thread comes first), then
// searched in O(log n). Of two members with one name, the later wins. A
// reader that never looks a name up never pays for the index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kotar/reader.h"

namespace kotar {

class NameIndex {
public:
    // The index in `members` (the same list at every call, which outlives
    // the index) of the member named `name`.
    std::optional<std::size_t> find(std::string_view name, const std::vector<kotar_member>& members) const;

private:
    mutable std::once_flag sorted_;
    mutable std::vector<std::pair<std::string_view, std::uint32_t>> entries_;  // (name, member), by name then member once sorted
};

}  // namespace kotar
