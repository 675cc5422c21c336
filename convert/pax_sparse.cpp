#include "convert/pax_sparse.h"

#include <algorithm>
#include <limits>

#include "format/pax_records.h"

namespace kotar {

namespace {

// A map with more regions than this is refused rather than held in memory;
// GNU tar writes one region per stretch of data.
constexpr std::uint64_t kLargestMap = std::uint64_t{1} << 20;

// Offsets and sizes are stored signed, as tar reads them.
constexpr std::uint64_t kLargestNumber = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

constexpr std::size_t kRegionWidth = 24;

std::optional<std::uint64_t> numberOf(std::string_view value) {
    const std::optional<std::uint64_t> number = parsePaxUnsigned(value);
    if (!number || *number > kLargestNumber) return std::nullopt;
    return number;
}

void storeRegion(HeaderBlock& block, std::size_t at, const SparseRegion& region) {
    storeNumericField(block, {at, 12}, static_cast<std::int64_t>(region.offset));
    storeNumericField(block, {at + 12, 12}, static_cast<std::int64_t>(region.size));
}

}  // namespace

bool PaxSparse::isSparseKeyword(std::string_view keyword) {
    constexpr std::string_view known[] = {"GNU.sparse.size",   "GNU.sparse.realsize", "GNU.sparse.numblocks",
                                          "GNU.sparse.offset", "GNU.sparse.numbytes", "GNU.sparse.map",
                                          "GNU.sparse.name",   "GNU.sparse.major",    "GNU.sparse.minor"};
    return std::find(std::begin(known), std::end(known), keyword) != std::end(known);
}

bool PaxSparse::addNumber(std::uint64_t number) {
    if (numbers_.size() >= 2 * kLargestMap) return false;
    numbers_.push_back(number);
    return true;
}

bool PaxSparse::take(std::string_view keyword, std::string_view value) {
    present_ = true;
    const std::string_view key = keyword.substr(std::string_view("GNU.sparse.").size());
    if (key == "name") {
        if (value.empty() || value.find('\0') != std::string_view::npos) return false;
        name_ = std::string(value);
        return true;
    }
    if (key == "map") {
        // Offsets and sizes, alternately, separated by commas.
        numbers_.clear();
        while (!value.empty()) {
            const std::size_t comma = value.find(',');
            const std::optional<std::uint64_t> number = numberOf(value.substr(0, comma));
            if (!number || !addNumber(*number)) return false;
            if (comma == std::string_view::npos) break;
            value.remove_prefix(comma + 1);
            if (value.empty()) return false;
        }
        return true;
    }
    const std::optional<std::uint64_t> number = numberOf(value);
    if (!number) return false;
    if (key == "size" || key == "realsize") {
        realSize_ = number;
    } else if (key == "numblocks") {
        if (*number > kLargestMap) return false;
        count_ = number;
    } else if (key == "offset" || key == "numbytes") {
        // 0.0: each region's offset, then its size.
        if ((numbers_.size() % 2 == 0) != (key == "offset")) return false;
        return addNumber(*number);
    } else if (key == "major") {
        major_ = *number;
        return major_ <= 1;
    } else if (key == "minor") {
        return *number == 0 || major_ == 0;
    }
    return true;
}

bool PaxSparse::complete() const {
    if (!realSize_) return false;
    if (mapInData()) return true;
    return count_ && numbers_.size() % 2 == 0 && numbers_.size() / 2 == *count_;
}

PaxSparse::MapText PaxSparse::takeMapBlock(const unsigned char* block) {
    for (std::size_t i = 0; i < kBlockSize; ++i) {
        const char c = static_cast<char>(block[i]);
        if (c >= '0' && c <= '9') {
            if (pending_.size() >= 20) return MapText::damaged;
            pending_.push_back(c);
            continue;
        }
        if (c != '\n' || pending_.empty()) return MapText::damaged;
        const std::optional<std::uint64_t> number = numberOf(pending_);
        pending_.clear();
        if (!number) return MapText::damaged;
        if (!countRead_) {
            if (*number > kLargestMap) return MapText::damaged;
            countRead_ = true;
            count_ = number;
            numbers_.clear();
        } else if (!addNumber(*number)) {
            return MapText::damaged;
        }
        // The rest of the block after the last number is padding.
        if (numbers_.size() == 2 * *count_) return MapText::done;
    }
    return MapText::more;
}

bool PaxSparse::makeGnuSparse(HeaderBlock& header, std::uint64_t storedSize,
                              std::vector<HeaderBlock>& extensions) const {
    if (!complete() || !count_ || numbers_.size() != 2 * *count_) return false;
    // The regions lie in order inside the file and hold the stored data
    // exactly.
    std::vector<SparseRegion> regions;
    regions.reserve(numbers_.size() / 2);
    std::uint64_t end = 0;
    std::uint64_t stored = 0;
    for (std::size_t i = 0; i < numbers_.size(); i += 2) {
        const SparseRegion region{numbers_[i], numbers_[i + 1]};
        if (region.offset < end || region.size > *realSize_ || region.offset > *realSize_ - region.size) return false;
        end = region.offset + region.size;
        stored += region.size;
        regions.push_back(region);
    }
    if (stored != storedSize) return false;

    header[field::typeflag.offset] = kTypeSparse;
    storeNumericField(header, field::size, static_cast<std::int64_t>(storedSize));
    storeNumericField(header, field::sparseRealSize, static_cast<std::int64_t>(*realSize_));
    std::fill_n(header.begin() + kSparseMapAt, kSparseHeaderRegions * kRegionWidth, 0);
    std::size_t next = 0;
    for (; next < regions.size() && next < kSparseHeaderRegions; ++next) {
        storeRegion(header, kSparseMapAt + next * kRegionWidth, regions[next]);
    }
    header[kSparseExtendedAt] = next < regions.size() ? 1 : 0;
    while (next < regions.size()) {
        HeaderBlock& block = extensions.emplace_back();
        block.fill(0);
        for (std::size_t slot = 0; slot < kSparseExtensionRegions && next < regions.size(); ++slot, ++next) {
            storeRegion(block, slot * kRegionWidth, regions[next]);
        }
        block[kSparseExtensionExtendedAt] = next < regions.size() ? 1 : 0;
    }
    return true;
}

}  // namespace kotar
