#include "output/extended_attributes.h"

#include <algorithm>
#include <cerrno>
#include <sys/xattr.h>

namespace kotar {

namespace {

bool unsupported(int error) { return error == ENOTSUP || error == ENOSYS; }

// Reads a list or a value whose size may change between asking and
// reading: asks again when it grew.
template <typename Call>
bool readSized(Call call, std::string& out) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = call(nullptr, 0);
        if (size < 0) return false;
        out.resize(static_cast<std::size_t>(size));
        const ssize_t got = call(out.data(), out.size());
        if (got >= 0) {
            out.resize(static_cast<std::size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;
    }
    return false;
}

}  // namespace

bool ExtendedAttributes::read(int descriptor) {
    attributes_.clear();
    std::string names;
    if (!readSized([descriptor](char* buffer, std::size_t size) { return flistxattr(descriptor, buffer, size); },
                   names)) {
        return unsupported(errno);
    }
    // The list is a run of NUL-terminated names.
    for (std::size_t start = 0; start < names.size();) {
        const std::size_t end = names.find('\0', start);
        if (end == std::string::npos) return false;
        std::string name = names.substr(start, end - start);
        start = end + 1;
        std::string value;
        const auto getValue = [descriptor, &name](char* buffer, std::size_t size) {
            return fgetxattr(descriptor, name.c_str(), buffer, size);
        };
        if (!readSized(getValue, value)) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return false;
        }
        attributes_.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

bool ExtendedAttributes::applyExactlyTo(int descriptor) const {
    ExtendedAttributes present;
    if (!present.read(descriptor)) return false;
    for (const auto& attribute : present.attributes_) {
        const std::string& name = attribute.first;
        const bool wanted = std::any_of(attributes_.begin(), attributes_.end(),
                                        [&name](const auto& ours) { return ours.first == name; });
        if (!wanted && fremovexattr(descriptor, name.c_str()) != 0) return false;
    }
    return applyTo(descriptor);
}

bool ExtendedAttributes::applyTo(int descriptor) const {
    bool all = true;
    for (const auto& [name, value] : attributes_) {
        if (fsetxattr(descriptor, name.c_str(), value.data(), value.size(), 0) != 0) all = false;
    }
    return all;
}

}  // namespace kotar
