#include "platform/console.h"

#include <cstdio>
#include <string>

namespace deskwave {

void printLine(std::string_view line) {
  std::string out(line);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

}  // namespace deskwave
