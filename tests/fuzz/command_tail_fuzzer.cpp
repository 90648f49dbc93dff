// libFuzzer target: any command line, read exactly to its terminator, gives the
// tail that a second, deliberately naive statement of the rule gives.
#include "command_tail.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The rule restated the slow way, sharing no code with CommandTail: the program
// name ends at the first character at or below U+0020 with an even number of
// double quotes before it; the tail starts at the first character above U+0020
// after that, or at the end.
size_t NaiveTailOffset(const std::u16string& line) {
  for (size_t end = 0; end < line.size(); ++end) {
    const auto quotes = std::count(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(end), u'"');
    if (line[end] <= u' ' && quotes % 2 == 0) {
      size_t start = end;
      while (start < line.size() && line[start] <= u' ') ++start;
      return start;
    }
  }
  return line.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t units = size / sizeof(WCHAR);
  // Exactly sized, so AddressSanitizer sees any read past the terminator.
  auto* line = static_cast<WCHAR*>(std::malloc((units + 1) * sizeof(WCHAR)));
  std::memcpy(line, data, units * sizeof(WCHAR));
  line[units] = 0;
  const std::u16string text(line);  // up to the first NUL, as the platform hands it over

  const WCHAR* tail = CommandTail(line);
  if (tail < line || tail > line + text.size()) std::abort();
  if (static_cast<size_t>(tail - line) != NaiveTailOffset(text)) std::abort();

  std::free(line);
  return 0;
}
