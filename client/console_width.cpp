#include "console_width.h"

#include <algorithm>

namespace flash {
namespace {

constexpr int kFullBar = 24;
constexpr int kShortestBar = 10;

struct Layout {
  int bar = kFullBar;  // 0: none
  bool speed = true;
  bool elapsed = true;
  bool overall = true;
};

std::string compose(const ProgressParts& parts, const Layout& layout) {
  std::string line = "  " + parts.stage;
  line.resize(std::max<std::size_t>(line.size(), 10), ' ');
  if (parts.percent >= 0) {
    if (layout.bar > 0) {
      const int filled = parts.percent * layout.bar / 100;
      line += "[" + std::string(filled, '#') + std::string(layout.bar - filled, '-') + "] ";
    }
    const std::string pct = std::to_string(parts.percent);
    line += std::string(pct.size() < 3 ? 3 - pct.size() : 0, ' ') + pct + "%";
  }
  line += "  " + parts.amounts;
  if (layout.speed && !parts.speed.empty()) line += "  " + parts.speed;
  const bool elapsed = layout.elapsed && !parts.elapsed.empty();
  if (elapsed) line += "  " + parts.elapsed + " elapsed";
  if (!parts.left.empty()) line += (elapsed ? ", " : "  ") + parts.left + " left";
  if (layout.overall && !parts.overall.empty()) line += "  (" + parts.overall + ")";
  return line;
}

}  // namespace

std::string fit_progress_line(const ProgressParts& parts, std::size_t columns) {
  Layout layout;
  std::string line = compose(parts, layout);
  if (columns == 0) return line;
  const std::size_t room = columns - 1;
  const auto fits = [&] { return (line = compose(parts, layout)).size() <= room; };
  if (line.size() <= room) return line;
  layout.overall = false;
  if (fits()) return line;
  layout.elapsed = false;
  if (fits()) return line;
  // The bar gives up what is missing, down to its shortest; then it goes.
  const std::size_t over = line.size() - room;
  layout.bar = std::max<int>(kShortestBar, kFullBar - static_cast<int>(over));
  if (fits()) return line;
  layout.bar = 0;
  if (fits()) return line;
  layout.speed = false;
  if (fits()) return line;
  return line.substr(0, room);
}

}  // namespace flash
