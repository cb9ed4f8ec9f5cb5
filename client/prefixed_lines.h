// An output stream for one of several cards flashed at once: whole lines,
// each led by the card's name, written to a stream the cards share under a
// lock, so that lines from different cards never mix.
#pragma once

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

namespace flash {

class PrefixedLines : public std::streambuf {
 public:
  PrefixedLines(std::ostream& shared, std::mutex& lock, std::string prefix)
      : shared_(shared), lock_(lock), prefix_(std::move(prefix)) {}
  ~PrefixedLines() override {
    if (!pending_.empty()) emit();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    // A carriage return redraws a line in place, which shared lines cannot.
    if (c == '\r') return c;
    if (c == '\n') {
      emit();
    } else {
      pending_.push_back(traits_type::to_char_type(c));
    }
    return c;
  }

 private:
  void emit() {
    const std::lock_guard<std::mutex> held(lock_);
    shared_ << prefix_ << pending_ << '\n' << std::flush;
    pending_.clear();
  }

  std::ostream& shared_;
  std::mutex& lock_;
  std::string prefix_;
  std::string pending_;
};

// A stream over PrefixedLines.
class PrefixedStream : public std::ostream {
 public:
  PrefixedStream(std::ostream& shared, std::mutex& lock, std::string prefix)
      : std::ostream(&lines_), lines_(shared, lock, std::move(prefix)) {}

 private:
  PrefixedLines lines_;  // built after the base, which only keeps its address
};

}  // namespace flash
