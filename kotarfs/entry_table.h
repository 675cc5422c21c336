// The entries of the mounted tree's directories, found by (directory, name):
// open addressing over the entries in the order they were added. Names are
// viewed, not owned: they stay in the archive's texts or the tree's own.
// One allocation for the entries and one for the slots, whatever their
// number; a fresh mount builds it for every member.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kotarfs {

struct Entry {
    std::string_view name;
    std::uint32_t directory = 0;  // the inode of the directory that holds it
    std::uint32_t inode = 0;      // the inode it names
};

class EntryTable {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // Room for `entries` without growing.
    void reserve(std::size_t entries);
    // The index of the entry `name` of `directory`, kNone when there is none.
    std::uint32_t find(std::uint32_t directory, std::string_view name) const;
    // Adds an entry that is not there yet; its index.
    std::uint32_t add(const Entry& entry);

    Entry& operator[](std::uint32_t index) { return entries_[index]; }
    const Entry& operator[](std::uint32_t index) const { return entries_[index]; }
    std::size_t size() const { return entries_.size(); }

private:
    static std::size_t hash(std::uint32_t directory, std::string_view name);
    // Sizes the slots for `entries` at most half full, and places every entry.
    void rehash(std::size_t entries);

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // 1 + an entry's index; 0 when free
};

}  // namespace kotarfs
