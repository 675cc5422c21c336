// ISA-L, loaded when kotarfs first inflates (the table of a kgz) rather
// than when it starts. Only a kgz needs it, and loading it at the start
// cost every mount 0.24 ms: mounting the /usr/bin ktar, one stat and an
// unmount took 6.23 ms with it and 5.98 ms without (squashfuse: 5.90).
//
// These definitions stand in, at link time, for the ISA-L functions that
// libkotar calls, and hand each call to the library once it is loaded.
// kotarfs is linked "as needed", so ISA-L is not among the libraries it
// loads as it starts; a libkotar that came to call one more ISA-L function
// would bring it back there.
#include "kotarfs/isal_on_demand.h"

#include <dlfcn.h>

#include <cstdio>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

namespace {

bool unavailable = false;  // set by load() alone

struct Isal {
    decltype(&::isal_inflate_init) inflateInit = nullptr;
    decltype(&::isal_inflate_reset) inflateReset = nullptr;
    decltype(&::isal_inflate) inflate = nullptr;
    decltype(&::isal_gzip_header_init) gzipHeaderInit = nullptr;
    decltype(&::isal_read_gzip_header) readGzipHeader = nullptr;
    decltype(&::isal_inflate_set_dict) inflateSetDict = nullptr;
    decltype(&::crc32_gzip_refl) crc32GzipRefl = nullptr;
};

template <typename Function>
bool find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// The library's functions, or none when it cannot be loaded: then every
// inflate fails, and the mount of a kgz is refused with the reason told
// here.
Isal load() {
    Isal isal;
    void* library = ::dlopen("libisal.so.2", RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr && find(library, "isal_inflate_init", isal.inflateInit) &&
        find(library, "isal_inflate_reset", isal.inflateReset) && find(library, "isal_inflate", isal.inflate) &&
        find(library, "isal_gzip_header_init", isal.gzipHeaderInit) &&
        find(library, "isal_read_gzip_header", isal.readGzipHeader) &&
        find(library, "isal_inflate_set_dict", isal.inflateSetDict) && find(library, "crc32_gzip_refl", isal.crc32GzipRefl)) {
        return isal;
    }
    const char* reason = ::dlerror();
    std::fprintf(stderr, "kotarfs: unable to load ISA-L: %s\n", reason != nullptr ? reason : "libisal.so.2");
    unavailable = true;
    return Isal{};
}

const Isal& isal() {
    static const Isal loaded = load();
    return loaded;
}

}  // namespace

bool kotarfs::isalUnavailable() { return unavailable; }

extern "C" {

void isal_inflate_init(inflate_state* state) {
    if (isal().inflateInit != nullptr) isal().inflateInit(state);
}

void isal_inflate_reset(inflate_state* state) {
    if (isal().inflateReset != nullptr) isal().inflateReset(state);
}

int isal_inflate(inflate_state* state) {
    return isal().inflate != nullptr ? isal().inflate(state) : ISAL_INVALID_STATE;
}

void isal_gzip_header_init(isal_gzip_header* header) {
    if (isal().gzipHeaderInit != nullptr) isal().gzipHeaderInit(header);
}

int isal_read_gzip_header(inflate_state* state, isal_gzip_header* header) {
    return isal().readGzipHeader != nullptr ? isal().readGzipHeader(state, header) : ISAL_INVALID_WRAPPER;
}

// libkotar's gzip decoder refers to these two for the input that kotar
// decodes in two parts at once; the library never does that, nor kotarfs.
int isal_inflate_set_dict(inflate_state* state, uint8_t* dictionary, uint32_t length) {
    return isal().inflateSetDict != nullptr ? isal().inflateSetDict(state, dictionary, length) : ISAL_INVALID_STATE;
}

uint32_t crc32_gzip_refl(uint32_t crc, const unsigned char* bytes, uint64_t length) {
    return isal().crc32GzipRefl != nullptr ? isal().crc32GzipRefl(crc, bytes, length) : ~crc;
}

}  // extern "C"
