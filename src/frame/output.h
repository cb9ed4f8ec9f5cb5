// Standard output as the caller sees it: JSON documents, one per line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wh {

class LineWriter {
 public:
  virtual ~LineWriter() = default;
  // Writes `line` and a line feed, then flushes. A failed write or flush is
  // ignored: the caller has nowhere to report it.
  virtual void write_line(std::string_view line) = 0;
};

class StdoutLineWriter : public LineWriter {
 public:
  void write_line(std::string_view line) override;
};

// Keeps the lines, for tests and for callers that inspect what was written.
class CapturedLines : public LineWriter {
 public:
  void write_line(std::string_view line) override { lines.emplace_back(line); }
  std::vector<std::string> lines;
};

}  // namespace wh
