#pragma once

#include <string_view>

namespace deskwave {

// Writes one line to standard output and flushes it, so that lines from
// different threads never interleave and reach a pipe at once.
void printLine(std::string_view line);

}  // namespace deskwave
