#include "report/listed_records.h"

#include <vector>

#include "format/pax_records.h"

namespace kotar {

namespace {

std::optional<std::int64_t> numberOf(std::string_view value) {
    const std::optional<std::uint64_t> number = parsePaxUnsigned(value);
    if (!number || *number > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(*number);
}

}  // namespace

ListedRecords listedRecordsOf(std::string_view data) {
    ListedRecords listed;
    std::vector<PaxRecord> records;
    if (!splitPaxRecords(data, records)) return listed;
    // A sparse file's own records win over path and size, wherever they stand.
    std::optional<std::string> sparseName;
    std::optional<std::int64_t> sparseSize;
    for (const PaxRecord& record : records) {
        const std::string_view key = record.keyword;
        const std::string_view value = record.value;
        if (key == "path" && !value.empty()) {
            listed.name = std::string(value);
        } else if (key == "GNU.sparse.name" && !value.empty()) {
            sparseName = std::string(value);
        } else if (key == "uid") {
            if (const auto number = numberOf(value)) listed.uid = number;
        } else if (key == "gid") {
            if (const auto number = numberOf(value)) listed.gid = number;
        } else if (key == "size") {
            if (const auto number = numberOf(value)) listed.size = number;
        } else if (key == "GNU.sparse.realsize" || key == "GNU.sparse.size") {
            if (const auto number = numberOf(value)) sparseSize = number;
        } else if (key == "mtime") {
            std::int64_t seconds = 0;
            bool exact = false;
            if (parsePaxTime(value, seconds, exact)) {
                listed.mtime = !exact && value.front() == '-' ? seconds - 1 : seconds;
            }
        }
    }
    if (sparseName) listed.name = sparseName;
    if (sparseSize) listed.size = sparseSize;
    return listed;
}

}  // namespace kotar
