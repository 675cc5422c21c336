#include "decode/xz_block_threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include <lzma.h>

#include "decode/decoding_thread.h"
#include "files/anonymous_file.h"
#include "files/file_descriptor.h"

namespace kotar {

namespace {

// What a worker writes to the ring at once.
constexpr std::size_t kPiece = 256 * 1024;
// The ring holds three of the stream's first blocks, within these bounds.
constexpr std::uint64_t kSmallestRing = std::uint64_t{1} << 20;
constexpr std::uint64_t kLargestRing = std::uint64_t{96} << 20;
// A worker's decoder at most: xz -6's takes 9 MiB. Two of xz -9's (65 MiB
// each) would take the process far past its bound; such streams, like
// those without sizes, go to liblzma's stream decoder, and a later block
// that needs more is decoded in turn, on the reader's thread.
constexpr std::uint64_t kWorkerMemory = std::uint64_t{20} << 20;
// As for the stream decoder: a block that asks for more is damage.
constexpr std::uint64_t kMemoryLimit = std::uint64_t{1} << 30;
// A block's compressed bytes are held whole by its worker up to this size;
// a larger one is decoded in turn, from the input. No further block is read
// while the blocks held come to the budget: at most two such blocks, with
// two dictionaries, stay within the process's bound.
constexpr std::uint64_t kLargestHeldBlock = std::uint64_t{12} << 20;
constexpr std::uint64_t kHeldInputBudget = std::uint64_t{12} << 20;
constexpr std::size_t kStreamHeaderSize = LZMA_STREAM_HEADER_SIZE;

// A block header, decoded; its filters' options go with it.
struct BlockHeader {
    lzma_block block{};
    lzma_filter filters[LZMA_FILTERS_MAX + 1];

    BlockHeader() {
        for (lzma_filter& filter : filters) filter = {LZMA_VLI_UNKNOWN, nullptr};
    }
    ~BlockHeader() { lzma_filters_free(filters, nullptr); }
    BlockHeader(const BlockHeader&) = delete;
    BlockHeader& operator=(const BlockHeader&) = delete;

    // From `bytes`, which hold the whole header (its first byte gives its
    // size), in a stream whose blocks end with a `check`.
    bool decode(const unsigned char* bytes, lzma_check check) {
        block.version = 1;
        block.check = check;
        block.header_size = lzma_block_header_size_decode(bytes[0]);
        block.filters = filters;
        return lzma_block_header_decode(&block, nullptr, bytes) == LZMA_OK;
    }
    bool sized() const {
        return block.compressed_size != LZMA_VLI_UNKNOWN && block.uncompressed_size != LZMA_VLI_UNKNOWN;
    }
    std::uint64_t memory() const { return lzma_raw_decoder_memusage(filters); }
};

struct Job {
    BlockHeader header;
    std::unique_ptr<unsigned char[]> input;  // after the header: data, padding, check
    std::size_t inputSize = 0;               // less than the block's when the input ended
    std::uint64_t start = 0;                 // its first byte's position in the stream's output
    bool inTurn = false;                     // decoded by the reader, from the input
    // Under the mutex:
    enum class End {
        notYet,
        whole,
        damaged,
        unwritten,  // the ring took no more: the reader decodes the block again, from `input`
    };
    bool taken = false;
    std::uint64_t written = 0;
    End end = End::notYet;
};

}  // namespace

struct XzBlockThreads::Shared {
    InputSource& source;
    const unsigned workerCount;
    std::vector<pthread_t> workers;
    FileDescriptor ring;
    std::uint64_t ringSize = 0;

    std::mutex mutex;
    std::condition_variable jobWaiting;  // for the workers
    std::condition_variable roomMade;    // for the workers: the reader went on
    std::condition_variable progress;    // for the reader: bytes written, a block ended
    std::deque<std::unique_ptr<Job>> jobs;  // in stream order, the front one being read
    std::uint64_t consumed = 0;             // the stream's output read so far
    bool stopping = false;

    // The reader's alone.
    lzma_stream_flags flags{};
    lzma_index_hash* index = nullptr;
    std::uint64_t nextStart = 0;    // where the next block's output starts
    std::uint64_t readInFront = 0;  // of the front job's output
    enum class Reading { blocks, done, damaged } reading = Reading::done;
    bool inTurnWaiting = false;  // a job in turn is queued: the input is its
    lzma_stream inTurn = LZMA_STREAM_INIT;
    bool inTurnStarted = false;
    std::uint64_t inTurnSkip = 0;  // output already delivered from the ring
    bool failed = false;

    Shared(InputSource& input, unsigned count) : source(input), workerCount(count) {}

    ~Shared() {
        {
            const std::lock_guard lock(mutex);
            stopping = true;
        }
        jobWaiting.notify_all();
        roomMade.notify_all();
        for (const pthread_t worker : workers) pthread_join(worker, nullptr);
        lzma_end(&inTurn);
        lzma_index_hash_end(index, nullptr);
    }

    // ---- the workers ----

    static void* workerMain(void* self) {
        static_cast<Shared*>(self)->work();
        return nullptr;
    }

    void work() {
        lzma_stream stream = LZMA_STREAM_INIT;
        // Without the memory for its piece, a worker leaves each block it
        // takes to the reader, as it does one the ring takes no more of: an
        // exception would end the process from this thread.
        const std::unique_ptr<unsigned char[]> piece(new (std::nothrow) unsigned char[kPiece]);
        for (;;) {
            Job* job = nullptr;
            {
                std::unique_lock lock(mutex);
                jobWaiting.wait(lock, [&] { return stopping || (job = untakenJob()) != nullptr; });
                if (stopping) break;
                job->taken = true;
            }
            const Job::End end = piece ? decodeBlock(stream, *job, piece.get()) : Job::End::unwritten;
            {
                const std::lock_guard lock(mutex);
                job->end = end;
                if (end != Job::End::unwritten) job->input.reset();
            }
            progress.notify_all();
        }
        lzma_end(&stream);
    }

    Job* untakenJob() const {
        for (const auto& job : jobs) {
            if (!job->taken && !job->inTurn) return job.get();
        }
        return nullptr;
    }

    Job::End decodeBlock(lzma_stream& stream, Job& job, unsigned char* piece) {
        if (lzma_block_decoder(&stream, &job.header.block) != LZMA_OK) return Job::End::damaged;
        stream.next_in = job.input.get();
        stream.avail_in = job.inputSize;
        std::uint64_t at = job.start;
        for (;;) {
            stream.next_out = piece;
            stream.avail_out = kPiece;
            const lzma_ret result = lzma_code(&stream, LZMA_RUN);
            const std::size_t produced = kPiece - stream.avail_out;
            if (produced > 0) {
                if (!waitForRoom(at + produced)) return Job::End::damaged;
                if (!ringIo(true, at, piece, produced)) return Job::End::unwritten;
                at += produced;
                {
                    const std::lock_guard lock(mutex);
                    job.written = at - job.start;
                }
                progress.notify_all();
            }
            if (result == LZMA_STREAM_END) return Job::End::whole;
            if (result != LZMA_OK) return Job::End::damaged;
            if (produced == 0 && stream.avail_in == 0) return Job::End::damaged;  // the block is cut short
        }
    }

    // Waits until the ring can take the stream's output up to `end` without
    // overwriting what the reader has yet to read; false when stopping.
    bool waitForRoom(std::uint64_t end) {
        std::unique_lock lock(mutex);
        roomMade.wait(lock, [&] { return stopping || end - consumed <= ringSize; });
        return !stopping;
    }

    // Reads or writes the stream's bytes from `position` on, by their place
    // in the ring.
    bool ringIo(bool writing, std::uint64_t position, unsigned char* bytes, std::size_t count) const {
        while (count > 0) {
            const std::uint64_t offset = position % ringSize;
            const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(count, ringSize - offset));
            const ssize_t done = writing ? ::pwrite(ring.get(), bytes, piece, static_cast<off_t>(offset))
                                         : ::pread(ring.get(), bytes, piece, static_cast<off_t>(offset));
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) return false;
            position += static_cast<std::uint64_t>(done);
            bytes += done;
            count -= static_cast<std::size_t>(done);
        }
        return true;
    }

    bool startWorkers() {
        // Room for every worker first: a thread that started, but that
        // push_back then failed to record, would go unjoined and outlive
        // this.
        workers.reserve(workerCount);
        while (workers.size() < workerCount) {
            pthread_t worker;
            if (!startSignalFreeThread(worker, &Shared::workerMain, this)) break;
            workers.push_back(worker);
        }
        return !workers.empty();
    }

    // ---- the reader ----

    bool start() {
        if (workerCount < 1) return false;
        rlimit limit{};
        if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY) return false;
        if (source.ensure(kStreamHeaderSize + 1) != InputSource::Fill::more) return false;
        lzma_stream_flags header{};
        if (lzma_stream_header_decode(&header, source.data()) != LZMA_OK || !lzma_check_is_supported(header.check)) {
            return false;
        }
        const unsigned char first = source.data()[kStreamHeaderSize];
        if (first == 0) return false;  // no blocks
        if (source.ensure(kStreamHeaderSize + lzma_block_header_size_decode(first)) != InputSource::Fill::more) {
            return false;
        }
        BlockHeader block;
        if (!block.decode(source.data() + kStreamHeaderSize, header.check) || !block.sized() ||
            block.memory() > kWorkerMemory) {
            return false;
        }
        if (!ring.valid()) ring = FileDescriptor(openAnonymousFile(""));
        if (!ring.valid() || (workers.empty() && !startWorkers())) return false;
        index = lzma_index_hash_init(index, nullptr);
        if (index == nullptr) return false;

        ringSize = std::clamp<std::uint64_t>(std::min(block.block.uncompressed_size, kLargestRing) * 3, kSmallestRing,
                                             kLargestRing);
        flags = header;
        nextStart = 0;
        readInFront = 0;
        reading = Reading::blocks;
        failed = false;
        {
            const std::lock_guard lock(mutex);
            jobs.clear();
            consumed = 0;
        }
        source.consume(kStreamHeaderSize);
        return true;
    }

    Decoded decode(unsigned char* out, std::size_t capacity) {
        while (!failed) {
            read();
            Job* front = nullptr;
            Job::End end = Job::End::notYet;
            {
                const std::lock_guard lock(mutex);
                if (!jobs.empty()) {
                    front = jobs.front().get();
                    end = front->end;
                }
            }
            if (front == nullptr) {
                if (reading == Reading::done) return {0, DecodeState::end};
                break;
            }
            if (front->inTurn || end == Job::End::unwritten) {
                const std::size_t produced = decodeInTurn(*front, out, capacity);
                if (produced > 0) return {produced, DecodeState::more};
                continue;
            }
            std::unique_lock lock(mutex);
            progress.wait(lock, [&] {
                return front->written > readInFront || front->end != Job::End::notYet || canRead();
            });
            if (front->written > readInFront) {
                const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, front->written - readInFront));
                lock.unlock();
                if (!ringIo(false, front->start + readInFront, out, count)) break;
                readInFront += count;
                lock.lock();
                consumed = front->start + readInFront;
                lock.unlock();
                roomMade.notify_all();
                return {count, DecodeState::more};
            }
            if (front->end == Job::End::damaged) break;
            if (front->end == Job::End::whole) {
                jobs.pop_front();
                readInFront = 0;
            }
        }
        failed = true;
        return {0, DecodeState::damaged};
    }

    // Whether the reader should read another block: the stream's blocks go
    // on, and fewer blocks than workers hold their input (a block read ahead
    // for a worker about to be free measured no faster, and took 7 MiB
    // more), within the budget. Called under the mutex.
    bool canRead() const {
        if (reading != Reading::blocks || inTurnWaiting) return false;
        unsigned holding = 0;
        std::uint64_t held = 0;
        for (const auto& job : jobs) {
            if (job->input == nullptr) continue;
            ++holding;
            held += job->inputSize;
        }
        return holding < workerCount && held < kHeldInputBudget;
    }

    void read() {
        for (;;) {
            {
                const std::lock_guard lock(mutex);
                if (!canRead()) return;
            }
            if (!readNext()) reading = Reading::damaged;
        }
    }

    // Reads the next block, or the index and the footer; false on damage.
    bool readNext() {
        if (source.ensure(1) != InputSource::Fill::more) return false;
        const unsigned char first = source.data()[0];
        if (first == 0) return readIndexAndFooter();
        const std::size_t headerSize = lzma_block_header_size_decode(first);
        if (source.ensure(headerSize) != InputSource::Fill::more) return false;
        auto job = std::make_unique<Job>();
        if (!job->header.decode(source.data(), flags.check) || job->header.memory() > kMemoryLimit) return false;
        source.consume(headerSize);
        job->start = nextStart;
        const lzma_block& block = job->header.block;
        const lzma_vli total = lzma_block_total_size(&block);  // 0 for sizes out of range
        if (job->header.sized() && total == 0) return false;
        // A dictionary larger than a worker's is not given to a worker: two
        // of them at once would take the process past its bound.
        if (!job->header.sized() || job->header.memory() > kWorkerMemory || total - headerSize > kLargestHeldBlock) {
            job->inTurn = true;
            inTurnWaiting = true;
        } else {
            if (lzma_index_hash_append(index, lzma_block_unpadded_size(&block), block.uncompressed_size) != LZMA_OK) {
                return false;
            }
            nextStart += block.uncompressed_size;
            if (!readInput(*job, total - headerSize)) reading = Reading::damaged;
        }
        {
            const std::lock_guard lock(mutex);
            jobs.push_back(std::move(job));
        }
        jobWaiting.notify_one();
        return true;
    }

    // The block's bytes after its header, into its job; false when the input
    // ends first (the job then holds what there was).
    bool readInput(Job& job, std::uint64_t size) {
        job.input = std::make_unique_for_overwrite<unsigned char[]>(static_cast<std::size_t>(size));
        while (job.inputSize < size) {
            if (source.size() == 0 && source.fill() != InputSource::Fill::more) return false;
            const std::size_t count = std::min<std::size_t>(source.size(), static_cast<std::size_t>(size - job.inputSize));
            std::copy_n(source.data(), count, job.input.get() + job.inputSize);
            source.consume(count);
            job.inputSize += count;
        }
        return true;
    }

    // The index, checked against the blocks, then the footer against the
    // header and the index's size.
    bool readIndexAndFooter() {
        for (;;) {
            if (source.size() == 0 && source.fill() != InputSource::Fill::more) return false;
            std::size_t used = 0;
            const lzma_ret result = lzma_index_hash_decode(index, source.data(), &used, source.size());
            source.consume(used);
            if (result == LZMA_STREAM_END) break;
            if (result != LZMA_OK) return false;
        }
        if (source.ensure(kStreamHeaderSize) != InputSource::Fill::more) return false;
        lzma_stream_flags footer{};
        if (lzma_stream_footer_decode(&footer, source.data()) != LZMA_OK ||
            lzma_stream_flags_compare(&flags, &footer) != LZMA_OK ||
            footer.backward_size != lzma_index_hash_size(index)) {
            return false;
        }
        source.consume(kStreamHeaderSize);
        reading = Reading::done;
        return true;
    }

    // A block decoded on the reader's thread once every block before it has
    // been read: one without sizes (or too large to hold) straight from the
    // input, or one the ring could not take again from the bytes its job
    // holds, past the bytes already delivered. The bytes it gave, 0 when it
    // ended (and is gone) or is damaged (`failed`).
    std::size_t decodeInTurn(Job& job, unsigned char* out, std::size_t capacity) {
        lzma_block& block = job.header.block;
        const bool held = !job.inTurn;
        if (!inTurnStarted) {
            if (lzma_block_decoder(&inTurn, &block) != LZMA_OK) return fail();
            inTurnStarted = true;
            inTurnSkip = held ? readInFront : 0;
            if (held) {
                inTurn.next_in = job.input.get();
                inTurn.avail_in = job.inputSize;
            }
        }
        for (;;) {
            if (!held) {
                inTurn.next_in = source.data();
                inTurn.avail_in = source.size();
            }
            const std::size_t before = inTurn.avail_in;
            inTurn.next_out = out;
            inTurn.avail_out = capacity;
            const lzma_ret result = lzma_code(&inTurn, LZMA_RUN);
            const std::size_t used = before - inTurn.avail_in;
            std::size_t produced = capacity - inTurn.avail_out;
            if (!held) source.consume(used);
            const std::size_t skipped = static_cast<std::size_t>(std::min<std::uint64_t>(produced, inTurnSkip));
            inTurnSkip -= skipped;
            produced -= skipped;
            if (skipped > 0) std::memmove(out, out + skipped, produced);
            if (result == LZMA_STREAM_END) {
                inTurnStarted = false;
                if (!held) {
                    inTurnWaiting = false;
                    if (lzma_index_hash_append(index, lzma_block_unpadded_size(&block), block.uncompressed_size) !=
                        LZMA_OK) {
                        failed = true;  // after these bytes
                    }
                    nextStart += block.uncompressed_size;
                }
                readInFront = 0;
                {
                    const std::lock_guard lock(mutex);
                    consumed = job.start + block.uncompressed_size;
                    jobs.pop_front();
                }
                // A worker ahead may wait for the room this block's output
                // held in the ring (one the ring could not take is decoded
                // here, while the next block's worker waits).
                roomMade.notify_all();
                return produced;
            }
            if (result != LZMA_OK) {
                failed = true;
                return produced;
            }
            if (produced > 0) return produced;
            if (used == 0 && skipped == 0 && (held || source.fill() != InputSource::Fill::more)) return fail();
        }
    }

    std::size_t fail() {
        failed = true;
        return 0;
    }
};

XzBlockThreads::XzBlockThreads(InputSource& source, unsigned workers)
    : shared_(std::make_unique<Shared>(source, workers)) {}

XzBlockThreads::~XzBlockThreads() = default;

bool XzBlockThreads::startStream() { return shared_->start(); }

Decoded XzBlockThreads::decode(unsigned char* out, std::size_t capacity) { return shared_->decode(out, capacity); }

}  // namespace kotar
