// What a kept pax 'x' entry changes in the listing line of the member after
// it, as tar -tv applies the records: the name (path, or a pax sparse
// file's GNU.sparse.name), the owner ids, the time (whole seconds, rounded
// down) and the size (size, or a pax sparse file's real size). The last
// record of a keyword wins; a record whose value does not parse changes
// nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kotar {

struct ListedRecords {
    std::optional<std::string> name;
    std::optional<std::int64_t> uid;
    std::optional<std::int64_t> gid;
    std::optional<std::int64_t> mtime;
    std::optional<std::int64_t> size;
};

// Nothing at all when `data` is not a sequence of whole records.
ListedRecords listedRecordsOf(std::string_view data);

}  // namespace kotar
