#pragma once
// The program's standard output, written from a thread of its own.
#include <memory>

#include "platform/runtime/line_writer.hpp"

namespace tavlo {

// A pipe nobody reads must stall neither the Qt thread nor the end of the program: lines wait in a
// bounded backlog, and a reader that falls behind loses the oldest (and is told how many).
std::unique_ptr<LineWriter> makeStandardOutput();

}  // namespace tavlo
