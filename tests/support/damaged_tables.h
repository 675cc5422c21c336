// Damaged header tables shared by the tests of the listing, of hostile input
// and of libkotar, each with what the listing prints and what kotar_open
// returns for it.
#pragma once

#include <string>
#include <vector>

namespace kotar::test {

// A table that ends at a bad block (or never ends), after a good member.
struct DamagedTable {
    const char* name;
    std::string bytes;
    std::string listing;  // kotar -t: the lines before it stops,
    std::string listError;  // its message
    int listStatus;         // and its status
    int readerStatus;       // kotar_open
    // kotar -x, where a row says: its messages and status (-1: not checked)
    std::string extractError = {};
    int extractStatus = -1;
};
const std::vector<DamagedTable>& damagedTables();

// Size fields as they stand (12 bytes): a size of 512 written in an unusual
// way, or no size that the 32-bit format can take.
struct SizeField {
    const char* what;
    std::string text;
    bool holds512;  // as kotar's readers take it: octal text within 32 bits
    bool negative;
};
const std::vector<SizeField>& sizeFields();

}  // namespace kotar::test
