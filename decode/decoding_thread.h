// The decoding thread: a compressed input is decoded on a thread of its own
// while the caller parses, keeps and writes what came out before. Decoded
// pieces pass from one to the other through a bounded queue of a few MiB, in
// order; the stream's end or damage travels with the last piece, so the
// caller sees the same bytes and the same end as from the decoder itself.
//
//   decoding thread   decoder.decode() into a free slot until it is full
//                     or the stream ends; hands the slot over
//   caller            decode() copies out of the oldest full slot, lend()
//                     gives it without a copy; a slot gone through is free
//
// Any decoder behind the StreamDecoder interface runs this way.
#pragma once

#include <pthread.h>

#include <memory>

#include "decode/stream_decoder.h"

namespace kotar {

// Whether a compressed input is worth a decoding thread: more than one CPU
// in the process's affinity mask. KOTAR_DECODING_THREAD=0 in the
// environment forces one thread, =1 a decoding thread whatever the CPUs
// (the tests run both ways with it).
bool decodingThreadWanted();

// The CPUs that the process may run on (at least 1).
int usableCpus();

// Starts `run(argument)` on a thread of its own with every signal blocked
// in it, so that signals reach the caller's thread and its handlers, as
// without it. False when no thread can be had.
bool startSignalFreeThread(pthread_t& thread, void* (*run)(void*), void* argument);

// `decoder` running on a thread of its own, started here; the thread is
// stopped and joined when the returned decoder goes. When no thread can be
// started, `decoder` itself, to run on the caller's thread as before.
// The decoder's InputSource belongs to that thread until then. When the
// input may wait (InputSource::mayWait), every piece decoded is handed over
// at once; otherwise the caller, once it has gone through every piece, is
// woken when a few more are ready. A decoder that takes a further thread
// keeps its files in `workDirectory` (StreamDecoder::mayUseAnotherThread).
std::unique_ptr<StreamDecoder> runOnDecodingThread(std::unique_ptr<StreamDecoder> decoder, bool inputMayWait,
                                                   const std::string& workDirectory = "");

}  // namespace kotar
