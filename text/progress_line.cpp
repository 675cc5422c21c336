#include "text/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace kotar {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kFirstDrawOnATerminal = std::chrono::seconds(2);
constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr double kMiB = 1024.0 * 1024.0;

struct ProgressState {
    bool running = false;  // between start and finish, when the line may be drawn
    bool shown = false;    // the line stands on standard error now
    bool drawnOnce = false;
    std::uint64_t inputSize = 0;
    Clock::time_point start;
    Clock::time_point lastDraw;
};

ProgressState state;

void writeAll(const std::string& text) {
    const char* bytes = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t put = ::write(STDERR_FILENO, bytes, left);
        if (put <= 0) return;  // best effort: the line is no result
        bytes += put;
        left -= static_cast<std::size_t>(put);
    }
}

std::string lineFor(std::uint64_t inputBytes, std::uint64_t decodedBytes, double seconds) {
    char text[160];
    int length = 0;
    if (state.inputSize > 0) {
        const double fraction = inputBytes >= state.inputSize ? 1.0 : static_cast<double>(inputBytes) / state.inputSize;
        const double left = fraction > 0 ? seconds * (1 - fraction) / fraction : 0;
        const auto leftSeconds = static_cast<long long>(left + 0.5);
        length = std::snprintf(text, sizeof text, "%.1f MiB of %.1f MiB read (%d%%, %lld:%02lld left)",
                               static_cast<double>(inputBytes) / kMiB, static_cast<double>(state.inputSize) / kMiB,
                               static_cast<int>(fraction * 100), leftSeconds / 60, leftSeconds % 60);
    } else {
        length = std::snprintf(text, sizeof text, "%.1f MiB read", static_cast<double>(inputBytes) / kMiB);
    }
    const double rate = seconds > 0 ? static_cast<double>(decodedBytes) / kMiB / seconds : 0;
    if (length > 0 && static_cast<std::size_t>(length) < sizeof text) {
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), ", %.1f MiB/s decoded", rate);
    }
    return text;
}

// The columns of the terminal that standard error is; 0 for no terminal, or
// one that does not tell.
std::size_t terminalColumns() {
    winsize size{};
    return ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace

void progressStart(std::uint64_t inputSize) {
    state = {};
    state.running = progressAsked || isatty(STDERR_FILENO) == 1;
    state.inputSize = inputSize;
    state.start = Clock::now();
}

void progressUpdate(std::uint64_t inputBytes, std::uint64_t decodedBytes) {
    if (!state.running) return;
    const Clock::time_point now = Clock::now();
    if (!progressAsked && now - state.start < kFirstDrawOnATerminal) return;
    if (state.drawnOnce && now - state.lastDraw < kRedrawInterval) return;
    const double seconds = std::chrono::duration<double>(now - state.start).count();
    // To the line's start, the new text, and the rest of the old one erased.
    std::string line = "\r";
    line += lineFor(inputBytes, decodedBytes, seconds);
    // Short of the last column: a line that wrapped would be redrawn on the
    // row below, leaving the wrapped one behind.
    const std::size_t columns = terminalColumns();
    if (columns > 0 && line.size() > columns) line.resize(columns);
    line += "\033[K";
    writeAll(line);
    state.shown = true;
    state.drawnOnce = true;
    state.lastDraw = now;
}

void progressClear() {
    if (!state.shown) return;
    writeAll("\r\033[K");
    state.shown = false;
}

void progressFinish() {
    progressClear();
    state.running = false;
}

}  // namespace kotar
