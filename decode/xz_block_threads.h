// XzBlockThreads: an xz stream whose blocks record their sizes in their
// headers (as `xz -T` and pixz write them) decoded on several threads at
// once, in memory that does not grow with the blocks.
//
//   reader (the caller's thread)   stream header, block headers, each block's
//                                  compressed bytes, the index and footer
//   workers                        a block each, with liblzma's block decoder,
//                                  its output written to a ring file
//   decode() (the caller's thread) the blocks' output in stream order, read
//                                  back from the ring file as it is written
//
// The ring file is an unlinked file in $TMPDIR (or /tmp) of a few blocks'
// size: position P of the decoded stream lies at offset P modulo its size,
// and a worker waits rather than write over bytes not yet read. A worker
// holds its block's compressed bytes and one dictionary.
//
// Every check of liblzma's stream decoder is made: each block's header,
// sizes and check value, the index against the blocks, the footer against
// the header. A block whose header gives no sizes, or whose dictionary is
// larger than a worker may hold, is decoded in turn, on the caller's
// thread. Damage ends the stream after every byte before it,
// as with the stream decoder.
#pragma once

#include <cstddef>
#include <memory>

#include "decode/input_source.h"
#include "decode/stream_decoder.h"

namespace kotar {

class XzBlockThreads {
public:
    XzBlockThreads(InputSource& source, unsigned workers);
    ~XzBlockThreads();
    XzBlockThreads(const XzBlockThreads&) = delete;
    XzBlockThreads& operator=(const XzBlockThreads&) = delete;

    // Begins the stream that starts at the source's position (its magic
    // number is there) when it suits: its first block records its sizes,
    // its check can be verified, a worker's dictionary is small enough, no
    // file size limit is set, and the ring file can be had. False, with
    // nothing consumed, leaves the stream to liblzma's stream decoder.
    bool startStream();

    // The stream's next bytes, as StreamDecoder::decode; `end` is the end of
    // this stream (its footer checked), after which another may follow.
    Decoded decode(unsigned char* out, std::size_t capacity);

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

}  // namespace kotar
