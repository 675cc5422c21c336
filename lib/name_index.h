// Exact-name lookup over the members of a header table: their names sorted
// once, searched in O(log n). Of two members with one name, the later wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace kotar {

class NameIndex {
public:
    // Members are added in table order, then sorted once; their names must
    // outlive the index.
    void reserve(std::size_t count) { sorted_.reserve(count); }
    void add(std::string_view name) { sorted_.emplace_back(name, static_cast<std::uint32_t>(sorted_.size())); }
    void sort();
    std::optional<std::size_t> find(std::string_view name) const;

private:
    std::vector<std::pair<std::string_view, std::uint32_t>> sorted_;  // (name, member), by name then member
};

}  // namespace kotar
