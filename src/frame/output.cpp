#include "frame/output.h"

#include <cstdio>

namespace wh {

void StdoutLineWriter::write_line(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace wh
