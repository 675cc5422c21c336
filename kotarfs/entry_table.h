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

    // Where an entry stands, or where it would go.
    struct Probe {
        std::uint32_t index = kNone;  // the entry's, kNone when there is none
        std::uint32_t hash = 0;
        std::size_t slot = 0;         // its slot, or the free one it would take
    };

    // Room for `entries` without growing.
    void reserve(std::size_t entries);
    Probe probe(std::uint32_t directory, std::string_view name) const;
    // The index of the entry `name` of `directory`, kNone when there is none.
    std::uint32_t find(std::uint32_t directory, std::string_view name) const { return probe(directory, name).index; }
    // Adds the entry that `probe` did not find, with nothing added since;
    // its index.
    std::uint32_t add(const Probe& probe, const Entry& entry);

    Entry& operator[](std::uint32_t index) { return entries_[index]; }
    const Entry& operator[](std::uint32_t index) const { return entries_[index]; }
    std::size_t size() const { return entries_.size(); }

private:
    struct Slot {
        std::uint32_t entry = 0;  // 1 + the entry's index; 0 when free
        std::uint32_t hash = 0;   // its hash, which probes compare first
    };

    // Sizes the slots for `entries` at most half full, and places every entry.
    void rehash(std::size_t entries);
    std::size_t freeSlot(std::uint32_t hash) const;

    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
};

}  // namespace kotarfs
