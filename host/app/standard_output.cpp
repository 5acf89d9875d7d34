#include "host/app/standard_output.hpp"

#include <unistd.h>

#include <atomic>
#include <string>

namespace tavlo {
namespace {

// Lines for standard output wait at most this many; a reader that falls behind loses the oldest.
constexpr size_t standardOutputBacklog = 5'000;

}  // namespace

std::unique_ptr<LineWriter> makeStandardOutput() {
  return std::make_unique<LineWriter>(
      "tavlo.stdout", standardOutputBacklog,
      [](const std::string& text, const std::atomic<bool>& stopping) {
        LineWriter::writeToDescriptor(STDOUT_FILENO, text, stopping);
      },
      [](uint64_t dropped) {
        return "[HOST] ⚠️ log: wyjście standardowe nie nadąża — pominięto " + std::to_string(dropped) +
               " najstarszych linii\n";
      });
}

}  // namespace tavlo
