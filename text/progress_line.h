// The progress line of a conversion: one line on standard error, redrawn in
// place at most four times a second while the input is read, with the bytes
// of input read (of how many, the percentage and the time left, for a file)
// and the rate at which decoded bytes come, cut short of a terminal's last
// column so that it never wraps. It is drawn with --progress, or
// when standard error is a terminal and the reading has gone on for two
// seconds; otherwise nothing at all is written. Every other message clears
// it first (fail() does), and it is cleared for good when the reading ends.
//
// Counts come from the thread that reads; the line is drawn on it too.
#pragma once

#include <cstdint>

namespace kotar {

// Whether --progress was given; set before a mode starts.
inline bool progressAsked = false;

// The reading starts now: `inputSize` bytes of a file, 0 when unknown.
void progressStart(std::uint64_t inputSize);

// The input and decoded bytes so far; redraws the line when it is due.
void progressUpdate(std::uint64_t inputBytes, std::uint64_t decodedBytes);

// Removes the line, if shown, before another message; the next update
// draws it again.
void progressClear();

// The reading is over: the line goes and is not drawn again.
void progressFinish();

}  // namespace kotar
