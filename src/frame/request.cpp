#include "frame/request.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

namespace wh {
namespace {

using nlohmann::json;

// Where the parser stands: 1-based line, and the column of the last byte
// consumed on that line (the convention of the JSON library's own messages).
std::string position_text(std::string_view text, std::size_t consumed) {
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < consumed && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return "parse error at line " + std::to_string(line) + ", column " +
         std::to_string(consumed - line_start) + ": ";
}

// A char iterator that publishes how far the parser has read, so that faults
// found in the SAX events can name their position too.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* base, const char* at, std::size_t* consumed)
      : base_(base), at_(at), consumed_(consumed) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    ++at_;
    *consumed_ = static_cast<std::size_t>(at_ - base_);
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }
  bool operator!=(const CountingIterator& other) const { return at_ != other.at_; }

 private:
  const char* base_;
  const char* at_;
  std::size_t* consumed_;
};

// Far deeper than any request (a first-boot file sits four levels down),
// and shallow enough that a 16 MiB request of brackets cannot make the
// helper build millions of nested values.
constexpr int kMaxDepth = 64;

enum class Member { kId, kSessionId, kCommand, kPayload, kOther };

Member member_of(const std::string& key) {
  if (key == "id") return Member::kId;
  if (key == "sessionId") return Member::kSessionId;
  if (key == "command") return Member::kCommand;
  if (key == "payload") return Member::kPayload;
  return Member::kOther;
}

const char* member_name(Member m) {
  switch (m) {
    case Member::kId: return "id";
    case Member::kSessionId: return "sessionId";
    case Member::kCommand: return "command";
    case Member::kPayload: return "payload";
    case Member::kOther: break;
  }
  return "";
}

// Reads the request object member by member. The payload is built as a
// document; the values of unknown members are parsed and dropped.
class RequestReader : public nlohmann::json_sax<json> {
 public:
  RequestReader(std::string_view text, const std::size_t* consumed)
      : text_(text), consumed_(consumed) {}

  Request request;
  std::optional<std::string> fault;
  bool seen[4] = {false, false, false, false};
  bool finished = false;  // the top-level object has closed

  bool null() override { return scalar(json(nullptr)); }
  bool boolean(bool v) override { return scalar(json(v)); }
  bool number_integer(number_integer_t v) override { return scalar(json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return scalar(json(v)); }
  bool number_float(number_float_t v, const string_t&) override { return scalar(json(v)); }
  bool string(string_t& v) override {
    if (std::string* field = depth_ == 1 ? text_field() : nullptr) {
      *field = std::move(v);
      return true;
    }
    return scalar(json(std::move(v)));
  }
  bool binary(binary_t&) override { return fail("unexpected binary value"); }

  bool start_object(std::size_t) override { return open(json::object()); }
  bool start_array(std::size_t) override { return open(json::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& key) override {
    if (depth_ == 1) {
      member_ = member_of(key);
      if (member_ != Member::kOther) {
        bool& was_seen = seen[static_cast<int>(member_)];
        if (was_seen) return fail("duplicate member \"" + key + "\"");
        was_seen = true;
      }
      return true;
    }
    if (!stack_.empty()) pending_key_ = std::move(key);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    // The library's text reads "[json.exception.parse_error.N] parse error at
    // line L, column C: ..."; keep the sentence, drop the tag.
    std::string_view what = ex.what();
    const std::size_t tag_end = what.find("] ");
    std::string_view sentence = tag_end == std::string_view::npos ? what : what.substr(tag_end + 2);
    // Range faults (a number beyond double, say) come without a position.
    fault = sentence.starts_with("parse error")
                ? std::string(sentence)
                : position_text(text_, *consumed_) + std::string(sentence);
    return false;
  }

 private:
  bool fail(const std::string& what) {
    fault = position_text(text_, *consumed_) + what;
    return false;
  }

  bool building() const { return !stack_.empty(); }

  // The request field that the current top-level member fills with a string.
  std::string* text_field() {
    switch (member_) {
      case Member::kId: return &request.id;
      case Member::kSessionId: return &request.session_id;
      case Member::kCommand: return &request.command;
      case Member::kPayload:
      case Member::kOther: break;
    }
    return nullptr;
  }

  // A value at depth 1 belongs to the current member; deeper values belong to
  // the document being built, if any.
  bool scalar(json value) {
    if (depth_ == 0) return fail("expected a request object");
    if (depth_ == 1) {
      if (member_ == Member::kPayload) {
        request.payload = std::move(value);
        return true;
      }
      if (member_ != Member::kOther) return wrong_type();
      return true;
    }
    if (building()) insert(std::move(value));
    return true;
  }

  bool wrong_type() {
    return fail(std::string("member \"") + member_name(member_) + "\" must be a string");
  }

  bool open(json container) {
    if (depth_ >= kMaxDepth) return fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    if (depth_ == 0) {
      if (!container.is_object()) return fail("expected a request object");
      depth_ = 1;
      return true;
    }
    if (depth_ == 1) {
      if (member_ == Member::kPayload) {
        request.payload = std::move(container);
        stack_.push_back(&request.payload);
      } else if (member_ != Member::kOther) {
        return wrong_type();
      }
    } else if (building()) {
      stack_.push_back(insert(std::move(container)));
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    if (depth_ == 0) {
      finished = true;
      for (Member m : {Member::kId, Member::kSessionId, Member::kCommand}) {
        if (!seen[static_cast<int>(m)]) {
          return fail(std::string("missing member \"") + member_name(m) + "\"");
        }
      }
      return true;
    }
    if (building()) stack_.pop_back();
    return true;
  }

  // Adds a value to the innermost open container; a repeated object member
  // replaces the earlier one, so the last occurrence counts.
  json* insert(json value) {
    json& parent = *stack_.back();
    if (parent.is_array()) {
      parent.push_back(std::move(value));
      return &parent.back();
    }
    json& slot = parent[pending_key_];
    slot = std::move(value);
    return &slot;
  }

  std::string_view text_;
  const std::size_t* consumed_;
  int depth_ = 0;
  Member member_ = Member::kOther;
  std::vector<json*> stack_;
  std::string pending_key_;
};

bool is_json_whitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

Result<Request, std::string> parse_request(std::string_view text) {
  std::size_t consumed = 0;
  RequestReader reader(text, &consumed);
  const char* begin = text.data();
  const char* end = begin + text.size();
  const bool parsed = json::sax_parse(CountingIterator(begin, begin, &consumed),
                                      CountingIterator(begin, end, &consumed), &reader,
                                      nlohmann::json::input_format_t::json, /*strict=*/false);
  if (reader.fault) return Err(*reader.fault);
  if (!parsed || !reader.finished) return Err(position_text(text, consumed) + "incomplete request");
  for (std::size_t i = consumed; i < text.size(); ++i) {
    if (!is_json_whitespace(text[i])) return Err(position_text(text, i + 1) + "trailing characters");
  }
  return std::move(reader.request);
}

}  // namespace wh
