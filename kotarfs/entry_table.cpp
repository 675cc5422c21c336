#include "kotarfs/entry_table.h"

#include <bit>
#include <functional>

namespace kotarfs {

std::size_t EntryTable::hash(std::uint32_t directory, std::string_view name) {
    return std::hash<std::string_view>{}(name) ^ (directory * 0x9E3779B97F4A7C15u);
}

void EntryTable::reserve(std::size_t entries) {
    entries_.reserve(entries);
    if (entries * 2 > slots_.size()) rehash(entries);
}

void EntryTable::rehash(std::size_t entries) {
    slots_.assign(std::bit_ceil(std::max<std::size_t>(entries * 2, 16)), 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t index = 0; index < entries_.size(); ++index) {
        std::size_t slot = hash(entries_[index].directory, entries_[index].name) & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = index + 1;
    }
}

std::uint32_t EntryTable::find(std::uint32_t directory, std::string_view name) const {
    if (slots_.empty()) return kNone;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash(directory, name) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
        const Entry& entry = entries_[slots_[slot] - 1];
        if (entry.directory == directory && entry.name == name) return slots_[slot] - 1;
    }
    return kNone;
}

std::uint32_t EntryTable::add(const Entry& entry) {
    if ((entries_.size() + 1) * 2 > slots_.size()) rehash((entries_.size() + 1) * 2);
    const auto index = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(entry);
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash(entry.directory, entry.name) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = index + 1;
    return index;
}

}  // namespace kotarfs
