#include "platform/windows_command_line.h"

namespace wh {

std::string quote_windows_argument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes count double only in front of a quotation mark.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  // The closing quotation mark follows: double the trailing backslashes.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

std::string build_windows_command_line(std::string_view program,
                                       const std::vector<std::string>& arguments) {
  std::string line = "\"";
  line.append(program);
  line.push_back('"');
  for (const std::string& argument : arguments) {
    line.push_back(' ');
    line += quote_windows_argument(argument);
  }
  return line;
}

std::vector<std::string> split_windows_command_line(std::string_view line) {
  std::vector<std::string> out;
  std::size_t i = 0;
  const auto is_blank = [&](std::size_t k) { return line[k] == ' ' || line[k] == '\t'; };

  // The program name knows no escapes: a quoted name runs to the next quote.
  std::string program;
  if (i < line.size() && line[i] == '"') {
    ++i;
    while (i < line.size() && line[i] != '"') program.push_back(line[i++]);
    if (i < line.size()) ++i;
  } else {
    while (i < line.size() && !is_blank(i)) program.push_back(line[i++]);
  }
  out.push_back(std::move(program));

  while (true) {
    while (i < line.size() && is_blank(i)) ++i;
    if (i >= line.size()) break;
    std::string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || !is_blank(i))) {
      std::size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        argument.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          argument.push_back('"');
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          argument.push_back('"');  // "" inside quotes is a literal quotation mark
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(backslashes, '\\');
        if (i < line.size() && (quoted || !is_blank(i))) argument.push_back(line[i++]);
      }
    }
    out.push_back(std::move(argument));
  }
  return out;
}

}  // namespace wh
