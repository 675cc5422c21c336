// RAII holders for C++ callers of libkotar (kotar/reader.h): an open
// archive closed when its holder goes, and mapped text unmapped likewise.
//
//     kotar::Archive archive;
//     if (int status = archive.open("tools.ktar"); status < 0) { ... kotar_strerror(status) ... }
//     const kotar_member* tool = kotar_find(archive.get(), "bin/tool");
//     kotar::MappedText text;
//     if (text.map(archive.get(), tool, false) == 0) { ... text.data(), text.size() ... }
#pragma once

#include <cstddef>
#include <utility>

#include "kotar/reader.h"

namespace kotar {

class Archive {
public:
    Archive() = default;
    ~Archive() { kotar_close(archive_); }
    Archive(Archive&& other) noexcept : archive_(std::exchange(other.archive_, nullptr)) {}
    Archive& operator=(Archive&& other) noexcept {
        std::swap(archive_, other.archive_);
        return *this;
    }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Closes any archive held, then opens another; returns a kotar_status.
    int open(const char* path) {
        kotar_close(std::exchange(archive_, nullptr));
        return kotar_open(path, &archive_);
    }
    int openFd(int fd) {
        kotar_close(std::exchange(archive_, nullptr));
        return kotar_open_fd(fd, &archive_);
    }
    kotar_archive* get() const { return archive_; }

private:
    kotar_archive* archive_ = nullptr;
};

class MappedText {
public:
    MappedText() = default;
    ~MappedText() { reset(); }
    MappedText(MappedText&& other) noexcept
        : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    MappedText& operator=(MappedText&& other) noexcept {
        std::swap(address_, other.address_);
        std::swap(size_, other.size_);
        return *this;
    }
    MappedText(const MappedText&) = delete;
    MappedText& operator=(const MappedText&) = delete;

    // Unmaps any text held, then maps the member's; returns a kotar_status.
    int map(const kotar_archive* archive, const kotar_member* member, bool executable) {
        reset();
        return kotar_map_text(archive, member, executable ? 1 : 0, &address_, &size_);
    }
    void reset() {
        if (address_ != nullptr) kotar_unmap_text(address_, size_);
        address_ = nullptr;
        size_ = 0;
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(address_); }
    std::size_t size() const { return size_; }

private:
    const void* address_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace kotar
