// Arrays on the heap that come back empty, rather than throwing, when the
// memory cannot be had.
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace kotar {

template <typename T>
std::unique_ptr<T[]> newArray(std::size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

}  // namespace kotar
