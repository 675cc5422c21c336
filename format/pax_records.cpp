#include "format/pax_records.h"

#include <limits>

namespace kotar {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Leading decimal digits of `text` as a number; the count of digits taken
// goes in `used`. False when there are none or they pass 64 bits.
bool parseDigits(std::string_view text, std::uint64_t& number, std::size_t& used) {
    number = 0;
    used = 0;
    constexpr std::uint64_t largest = std::numeric_limits<std::uint64_t>::max();
    while (used < text.size() && isDigit(text[used])) {
        const auto digit = static_cast<std::uint64_t>(text[used] - '0');
        if (number > (largest - digit) / 10) return false;
        number = number * 10 + digit;
        ++used;
    }
    return used > 0;
}

}  // namespace

bool splitPaxRecords(std::string_view data, std::vector<PaxRecord>& records) {
    records.clear();
    while (!data.empty()) {
        std::uint64_t length = 0;
        std::size_t digits = 0;
        if (!parseDigits(data, length, digits) || length > data.size()) return false;
        // The length, a space, at least '=' and the newline.
        if (length < digits + 3 || data[digits] != ' ' || data[length - 1] != '\n') return false;
        const std::string_view text = data.substr(0, length);
        const std::string_view body = text.substr(digits + 1, length - digits - 2);
        const std::size_t equals = body.find('=');
        if (equals == std::string_view::npos) return false;
        records.push_back({body.substr(0, equals), body.substr(equals + 1), text});
        data.remove_prefix(length);
    }
    return true;
}

std::optional<std::uint64_t> parsePaxUnsigned(std::string_view value) {
    std::uint64_t number = 0;
    std::size_t used = 0;
    if (!parseDigits(value, number, used) || used != value.size()) return std::nullopt;
    return number;
}

bool parsePaxTime(std::string_view value, std::int64_t& whole, bool& exact) {
    const bool negative = !value.empty() && value.front() == '-';
    if (negative) value.remove_prefix(1);
    std::uint64_t seconds = 0;
    std::size_t used = 0;
    if (!parseDigits(value, seconds, used) ||
        seconds > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return false;
    }
    value.remove_prefix(used);
    exact = true;
    if (!value.empty()) {
        if (value.front() != '.' || value.size() == 1) return false;
        for (const char c : value.substr(1)) {
            if (!isDigit(c)) return false;
            if (c != '0') exact = false;
        }
    }
    whole = negative ? -static_cast<std::int64_t>(seconds) : static_cast<std::int64_t>(seconds);
    return true;
}

}  // namespace kotar
