// Exact-name lookup over the members of a header table: their names sorted
// at the first lookup (once, whichever thread comes first), then searched in
// O(log n). Of two members with one name, the later wins. A reader that
// never looks a name up never pays for the sort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace kotar {

class NameIndex {
public:
    // Members are added in table order; their names must outlive the index.
    void reserve(std::size_t count) { entries_.reserve(count); }
    void add(std::string_view name) { entries_.emplace_back(name, static_cast<std::uint32_t>(entries_.size())); }
    std::optional<std::size_t> find(std::string_view name) const;

private:
    mutable std::once_flag sorted_;
    mutable std::vector<std::pair<std::string_view, std::uint32_t>> entries_;  // (name, member), by name then member once sorted
};

}  // namespace kotar
