#include "kotarfs/entry_table.h"

#include <algorithm>
#include <bit>
#include <functional>

namespace kotarfs {

namespace {

std::uint32_t hashOf(std::uint32_t directory, std::string_view name) {
    const std::size_t mixed = std::hash<std::string_view>{}(name) ^ (directory * 0x9E3779B97F4A7C15u);
    return static_cast<std::uint32_t>(mixed ^ (mixed >> 32));
}

}  // namespace

void EntryTable::reserve(std::size_t entries) {
    entries_.reserve(entries);
    if (entries * 2 > slots_.size()) rehash(entries);
}

void EntryTable::rehash(std::size_t entries) {
    slots_.assign(std::bit_ceil(std::max<std::size_t>(entries * 2, 16)), Slot{});
    for (std::uint32_t index = 0; index < entries_.size(); ++index) {
        const std::uint32_t hash = hashOf(entries_[index].directory, entries_[index].name);
        slots_[freeSlot(hash)] = {index + 1, hash};
    }
}

std::size_t EntryTable::freeSlot(std::uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash & mask;
    while (slots_[slot].entry != 0) slot = (slot + 1) & mask;
    return slot;
}

EntryTable::Probe EntryTable::probe(std::uint32_t directory, std::string_view name) const {
    Probe probe;
    probe.hash = hashOf(directory, name);
    if (slots_.empty()) return probe;
    const std::size_t mask = slots_.size() - 1;
    for (probe.slot = probe.hash & mask; slots_[probe.slot].entry != 0; probe.slot = (probe.slot + 1) & mask) {
        const Slot& slot = slots_[probe.slot];
        if (slot.hash != probe.hash) continue;
        const Entry& entry = entries_[slot.entry - 1];
        if (entry.directory == directory && entry.name == name) {
            probe.index = slot.entry - 1;
            return probe;
        }
    }
    return probe;
}

std::uint32_t EntryTable::add(const Probe& probe, const Entry& entry) {
    const auto index = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back(entry);
    if (entries_.size() * 2 > slots_.size()) {
        rehash(entries_.size() * 2);  // places the new entry too
    } else {
        slots_[probe.slot] = {index + 1, probe.hash};
    }
    return index;
}

}  // namespace kotarfs
