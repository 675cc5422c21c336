// The extended attributes of an open file, ACLs among them (an ACL is the
// attribute system.posix_acl_access), read whole so that they can be given
// to another file, or given back to the same one.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kotar {

class ExtendedAttributes {
public:
    // Reads every attribute the process can see. A file system without
    // attributes gives none. False when they cannot be read.
    bool read(int descriptor);

    // Sets each attribute on `descriptor`; false when any is refused.
    bool applyTo(int descriptor) const;

    // Gives `descriptor` these attributes and no others (a new file may
    // have been given an ACL by its directory's default ACL); false when
    // that cannot be done.
    bool applyExactlyTo(int descriptor) const;

private:
    std::vector<std::pair<std::string, std::string>> attributes_;  // name, value
};

}  // namespace kotar
