#pragma once

namespace kotar {

// Parses the options, sets `verbose`, runs the chosen mode and returns its
// result: 0 on success, -1 on any failure (a bad command line included).
int runCommandLine(int argc, char** argv);

}  // namespace kotar
