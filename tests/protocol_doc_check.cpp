// protocol_doc_check [--write] DOC TRANSCRIPT
//
// Checks the examples of docs/protocol.md against a transcript of a real run
// (one JSON line per request: {"request": {...}, "lines": [...]}), or with
// --write replaces them by what the run printed. The example format and the
// placeholder "…" are described at the top of docs/protocol.md.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using Json = nlohmann::ordered_json;

namespace {

constexpr std::string_view kFence = "```example";
constexpr std::string_view kPrefix = "$ windows_helper --request '";
constexpr std::string_view kVaries = "…";
// Members whose values depend on the machine's speed.
const std::set<std::string> kVolatile = {"speedBps", "verifySpeedBps"};
const std::vector<std::string> kCommands = {
    "health", "cancel_task", "list_disks", "image_validate_xz", "image_uncompressed_size",
    "image_extract_xz", "prepare_disk", "write_image", "verify_hash", "read_sectors",
    "classify_mismatch", "verify_boot", "apply_customization", "detach_target", "finalize_disk",
    "reformat_disk"};

struct Example {
  std::size_t first = 0;  // index of the line after the fence
  std::size_t end = 0;    // index of the closing fence
  std::size_t line_number = 0;
  std::string request_text;
  std::vector<std::string> outputs;  // without the "…" lines
};

struct Record {
  Json request;
  std::vector<Json> lines;
};

std::string shell_unquote(std::string text) {
  for (std::size_t at; (at = text.find("'\\''")) != std::string::npos;) text.replace(at, 4, "'");
  return text;
}

std::string shell_quote(std::string text) {
  for (std::size_t at = 0; (at = text.find('\'', at)) != std::string::npos; at += 4) text.replace(at, 1, "'\\''");
  return text;
}

std::vector<Example> find_examples(const std::vector<std::string>& doc) {
  std::vector<Example> examples;
  for (std::size_t i = 0; i < doc.size(); ++i) {
    if (doc[i] != kFence) continue;
    Example example;
    example.first = i + 1;
    example.line_number = i + 1;
    std::size_t j = i + 1;
    for (; j < doc.size() && doc[j] != "```"; ++j) {
      const std::string& line = doc[j];
      if (j == i + 1) {
        if (line.starts_with(kPrefix) && line.ends_with("'")) {
          example.request_text = shell_unquote(line.substr(kPrefix.size(), line.size() - kPrefix.size() - 1));
        }
      } else if (!line.empty() && line != kVaries) {
        example.outputs.push_back(line);
      }
    }
    example.end = j;
    examples.push_back(std::move(example));
    i = j;
  }
  return examples;
}

// The document's value against the run's: "…" stands for any string or whole
// number; objects must have the same members.
bool matches(const Json& doc, const Json& run) {
  if (doc.is_string() && doc.get<std::string>() == kVaries) {
    return run.is_string() || run.is_number_unsigned() || run.is_number_integer();
  }
  if (doc.is_object()) {
    if (!run.is_object() || doc.size() != run.size()) return false;
    for (const auto& [key, value] : doc.items()) {
      if (!run.contains(key) || !matches(value, run.at(key))) return false;
    }
    return true;
  }
  if (doc.is_array()) {
    if (!run.is_array() || doc.size() != run.size()) return false;
    for (std::size_t i = 0; i < doc.size(); ++i) {
      if (!matches(doc[i], run[i])) return false;
    }
    return true;
  }
  return doc == run;
}

std::string text(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

const Record* find_record(const std::vector<Record>& records, const Json& request) {
  const Record* same_command = nullptr;
  for (const Record& record : records) {
    if (record.request.value("command", "") != request.value("command", "")) continue;
    if (record.request.value("id", "") == request.value("id", "")) return &record;
    if (same_command == nullptr) same_command = &record;
  }
  return same_command;
}

// `value` with `keys` first, in that order: the request and the response as
// the helper's lines have them, whatever order the transcript kept.
Json in_order(const Json& value, std::initializer_list<const char*> keys) {
  if (!value.is_object()) return value;
  Json ordered = Json::object();
  for (const char* key : keys) {
    if (value.contains(key)) ordered[key] = value.at(key);
  }
  for (const auto& [key, member] : value.items()) {
    if (!ordered.contains(key)) ordered[key] = member;
  }
  return ordered;
}

// Returns the problems of one example, empty when it matches the run.
std::vector<std::string> check(const Example& example, const Json& request, const Record& record) {
  std::vector<std::string> problems;
  if (!matches(request, record.request)) {
    problems.push_back("request differs\n    document: " + text(request) + "\n    run:      " +
                       text(in_order(record.request, {"id", "sessionId", "command", "payload"})));
  }
  std::size_t cursor = 0;
  for (const std::string& line : example.outputs) {
    Json expected = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (expected.is_discarded()) {
      problems.push_back("not a JSON line: " + line);
      continue;
    }
    std::size_t at = cursor;
    while (at < record.lines.size() && !matches(expected, record.lines[at])) ++at;
    if (at == record.lines.size()) {
      std::string message = "line not printed (after the lines matched so far)\n    document: " + line;
      for (std::size_t k = cursor; k < record.lines.size(); ++k) message += "\n    run:      " + text(record.lines[k]);
      problems.push_back(message);
      continue;
    }
    cursor = at + 1;
  }
  return problems;
}

Json masked(Json value) {
  if (value.is_object()) {
    for (auto& [key, member] : value.items()) {
      member = kVolatile.contains(key) ? Json(kVaries) : masked(member);
    }
  } else if (value.is_array()) {
    for (auto& element : value) element = masked(element);
  }
  return value;
}

// The block's new lines: the request, then the run's lines, keeping of each
// run of progress lines with one stage and message only its opening 0-byte
// line and its last one.
std::vector<std::string> rewritten(const Record& record) {
  std::vector<std::string> out{std::string(kPrefix) + shell_quote(text(in_order(record.request, {"id", "sessionId", "command", "payload"}))) + "'"};
  const auto& lines = record.lines;
  auto progress_key = [](const Json& line) {
    return line.value("event", "") == "progress" ? line.value("stage", "") + "\n" + line.value("message", "") : "";
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string key = progress_key(lines[i]);
    const bool last_of_run = key.empty() || i + 1 == lines.size() || progress_key(lines[i + 1]) != key;
    const bool first_of_run = !key.empty() && (i == 0 || progress_key(lines[i - 1]) != key);
    if (last_of_run || (first_of_run && lines[i].value("bytesProcessed", 1) == 0)) {
      out.push_back(text(masked(in_order(lines[i], {"id", "ok", "errorCode", "errorMessage", "payload"}))));
    } else if (out.back() != kVaries) {
      out.push_back(std::string(kVaries));
    }
  }
  return out;
}

bool read_lines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return true;
}

bool read_transcript(const std::string& path, std::vector<Record>& records) {
  std::vector<std::string> lines;
  if (!read_lines(path, lines)) return false;
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    Json entry = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (entry.is_discarded() || !entry.contains("request") || !entry.contains("lines")) return false;
    Record record{entry["request"], {}};
    // Lines may be kept as the text received or as parsed JSON.
    for (const Json& printed : entry["lines"]) {
      record.lines.push_back(printed.is_string() ? Json::parse(printed.get<std::string>(), nullptr, false) : printed);
    }
    records.push_back(std::move(record));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool write = !args.empty() && args[0] == "--write";
  if (write) args.erase(args.begin());
  if (args.size() != 2) {
    std::cerr << "usage: protocol_doc_check [--write] DOC TRANSCRIPT\n";
    return 2;
  }
  std::vector<std::string> doc;
  std::vector<Record> records;
  if (!read_lines(args[0], doc)) {
    std::cerr << "cannot read " << args[0] << "\n";
    return 2;
  }
  if (!read_transcript(args[1], records)) {
    std::cerr << "cannot read the transcript " << args[1] << "\n";
    return 2;
  }
  const std::vector<Example> examples = find_examples(doc);
  std::vector<std::string> problems;
  std::set<std::string> shown;
  // Blocks to rewrite, with their records, in document order.
  std::vector<std::pair<const Example*, const Record*>> found;
  for (const Example& example : examples) {
    const std::string where = args[0] + ":" + std::to_string(example.line_number) + ": ";
    Json request = Json::parse(example.request_text, nullptr, /*allow_exceptions=*/false);
    if (!request.is_object()) {
      problems.push_back(where + "the example's first line is not " + std::string(kPrefix) + "<request JSON>'");
      continue;
    }
    const std::string command = request.value("command", "");
    shown.insert(command);
    const Record* record = find_record(records, request);
    if (record == nullptr) {
      problems.push_back(where + "example of " + command + ": the transcript has no request of this command");
      continue;
    }
    found.emplace_back(&example, record);
    if (write) continue;
    for (const std::string& problem : check(example, request, *record)) {
      problems.push_back(where + "example of " + command + " (id " + request.value("id", "") + "): " + problem);
    }
  }
  for (const std::string& command : kCommands) {
    if (!shown.contains(command)) problems.push_back(args[0] + ": no example of " + command);
  }
  if (write) {
    // Back to front, so that each rewrite leaves the earlier blocks in place.
    for (auto it = found.rbegin(); it != found.rend(); ++it) {
      const auto lines = rewritten(*it->second);
      const auto first = doc.begin() + static_cast<std::ptrdiff_t>(it->first->first);
      doc.insert(doc.erase(first, doc.begin() + static_cast<std::ptrdiff_t>(it->first->end)), lines.begin(),
                 lines.end());
    }
    std::ofstream out(args[0], std::ios::trunc);
    for (const std::string& line : doc) out << line << "\n";
    if (!out) {
      std::cerr << "cannot write " << args[0] << "\n";
      return 2;
    }
  }
  for (const std::string& problem : problems) std::cerr << problem << "\n";
  if (!problems.empty()) {
    std::cerr << problems.size() << " problem(s). If the helper's output changed on purpose, refresh the examples:\n"
              << "  protocol_doc_check --write " << args[0] << " TRANSCRIPT\n";
    return 1;
  }
  std::cout << (write ? "rewrote " : "checked ") << examples.size() << " examples against " << args[1] << "\n";
  return 0;
}
