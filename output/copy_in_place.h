// The last step of a destination that cannot be replaced by a rename without
// losing something: the finished result, staged in a file of its own, is
// copied into the existing file, which so keeps its inode and with it its
// other links, its owner and group, its permission bits and its extended
// attributes and ACLs.
#pragma once

namespace kotar {

// Copies all of `staged` over the start of `destination` and cuts the
// destination to that size. Before the first byte changes it checks the
// process's file size limit and reserves the space where the file system
// can, so that a limit or a full disk leaves the destination as it was
// (where it cannot, the bytes past the file's end go first, and a disk that
// fills on them is undone by cutting the file back); the asynchronous
// signals wait until the copy is done. What writing takes from
// a file (the set-user-ID bits, file capabilities) is given back where the
// process may. 0 on success, -1 on failure.
int copyInPlace(int staged, int destination);

}  // namespace kotar
