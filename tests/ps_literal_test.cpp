// The stand-in reads PowerShell's single-quoted literals as PowerShell does,
// and recognises a disk script only when every character is the documented
// one.
#include <gtest/gtest.h>

#include "disk_script_texts.h"
#include "ps_literal.h"
#include "ps_scripts.h"
#include "target/ps_script.h"

namespace wh {
namespace {

using tools::read_single_quoted;
using tools::recognise_script;
using tools::ScriptKind;
using namespace testing;

// U+2018, U+2019, U+201A, U+201B: quotes as PowerShell takes them too.
const std::string kLeft = "\u2018", kRight = "\u2019", kLow = "\u201A", kReversed = "\u201B";

TEST(SingleQuotedLiteral, ReadsEveryQuoteCharacterAsPowerShellDoes) {
  const struct {
    std::string text;
    std::size_t pos;
    std::string value;
    std::string rest;  // what follows the literal
  } cases[] = {
      {"'plain' tail", 0, "plain", " tail"},
      {"x = '' ", 4, "", " "},
      {"'Bob''s card'", 0, "Bob's card", ""},
      {kLeft + "curly" + kRight + ";", 0, "curly", ";"},
      {kLow + "low" + kReversed, 0, "low", ""},
      // Any two quotes in a row stand for the second.
      {"'Bob" + kRight + kRight + "s'", 0, "Bob" + kRight + "s", ""},
      {"'a" + kLeft + "'b'", 0, "a'b", ""},
      {"'a'" + kLow + "b'", 0, "a" + kLow + "b", ""},
      {"'''' ", 0, "'", " "},
      // Nothing else is special: no escapes, no variables.
      {"'C:\\dir\\ $x `n \"q\"'", 0, "C:\\dir\\ $x `n \"q\"", ""},
      {std::string("'nul\0byte'", 10), 0, std::string("nul\0byte", 8), ""},
  };
  for (const auto& c : cases) {
    auto literal = read_single_quoted(c.text, c.pos);
    ASSERT_TRUE(literal.has_value()) << c.text;
    EXPECT_EQ(literal->value, c.value) << c.text;
    EXPECT_EQ(c.text.substr(literal->end), c.rest) << c.text;
  }
}

// Whatever a label or serial holds, the helper's literal is read back as
// exactly one literal with exactly that value: nothing after it could run.
TEST(SingleQuotedLiteral, TheHelpersQuotingIsOneLiteralOfTheOriginalText) {
  const std::string texts[] = {
      "Bob's card", "Bob" + kRight + "s card", kLeft + kRight + kLow + kReversed + "'",
      "'; Remove-Item C:\\ -Recurse; '", kRight + "; $(Stop-Computer); " + kLeft,
      "''''", kReversed + kReversed, "\"$env:PATH\" `n `' " + kRight + "`",
      "", "\u201C\u201D double quotes", "\xE2\x80",  // a cut sequence stays bytes
  };
  for (const std::string& text : texts) {
    const std::string quoted = ps_quote(text);
    auto literal = read_single_quoted(quoted, 0);
    ASSERT_TRUE(literal.has_value()) << quoted;
    EXPECT_EQ(literal->value, text) << quoted;
    EXPECT_EQ(literal->end, quoted.size()) << quoted;
  }
}

TEST(SingleQuotedLiteral, RefusesWhatIsNoLiteral) {
  const std::string cases[] = {"plain", "\"double\"", "'unterminated", "'ends in a doubled quote''", kLeft + "x",
                               "\xE2\x80", "\xE2\x80\x9C" "x\xE2\x80\x9D", ""};
  for (const std::string& text : cases) EXPECT_FALSE(read_single_quoted(text, 0).has_value()) << text;
  EXPECT_FALSE(read_single_quoted("'x'", 3).has_value());
  EXPECT_FALSE(read_single_quoted("'x'", 99).has_value());
}

TEST(DiskScripts, AreRecognisedWithTheirValues) {
  const std::string fragment = stop_and_revalidate(3, 31914983424, "'reformat'", kLeft + "o" + kRight + kRight + "brien'");
  auto script = recognise_script(fragment + reformat_tail(kLow + "Bob" + kRight + kRight + "s card" + kReversed));
  ASSERT_TRUE(script.has_value());
  EXPECT_EQ(script->kind, ScriptKind::kReformat);
  EXPECT_EQ(script->disk, 3u);
  EXPECT_EQ(script->size, 31914983424u);
  EXPECT_EQ(script->serial, "o" + kRight + "brien");
  EXPECT_EQ(script->step, "reformat");
  EXPECT_EQ(script->label, "Bob" + kRight + "s card");

  const struct {
    std::string step;
    std::string tail;
    ScriptKind kind;
  } kinds[] = {{"preparation", kPrepareTail, ScriptKind::kPrepare},
               {"detachment", kDetachTail, ScriptKind::kDetach},
               {"finalization", kFinalizeTail, ScriptKind::kFinalize}};
  for (const auto& k : kinds) {
    auto found = recognise_script(stop_and_revalidate(1, 512, ps_quoted(k.step), "$null") + k.tail);
    ASSERT_TRUE(found.has_value()) << k.step;
    EXPECT_EQ(found->kind, k.kind);
    EXPECT_FALSE(found->serial.has_value());
  }
}

TEST(DiskScripts, AnyOtherTextIsNotRecognised) {
  const std::string good = stop_and_revalidate(1, 512, "'preparation'", "'ab12'") + kPrepareTail;
  ASSERT_TRUE(recognise_script(good).has_value());
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"without the stop preference", good.substr(std::string("$ErrorActionPreference = 'Stop'; ").size())},
      {"a trailing space", good + " "},
      {"a missing last character", good.substr(0, good.size() - 1)},
      {"the step of another command", stop_and_revalidate(1, 512, "'finalization'", "'ab12'") + kPrepareTail},
      {"two different step names", replaced("changed before ' + 'preparation') }; $exp", "changed before ' + 'prep') }; $exp")},
      {"a negative size", replaced("-ne 512)", "-ne -512)")},
      {"a size beyond 64 bits", replaced("-ne 512)", "-ne 18446744073709551616)")},
      {"a disk number beyond 32 bits", replaced("-Number 1 ", "-Number 4294967296 ")},
      {"a double-quoted serial", replaced("'ab12'", "\"ab12\"")},
      {"an unterminated serial", replaced("'ab12'", "'ab12")},
      {"another tolerated message", replaced("Access Denied", "Access denied")},
      {"the finalize tail on the prepare step", stop_and_revalidate(1, 512, "'preparation'", "$null") + kFinalizeTail},
  };
  for (const auto& c : cases) EXPECT_FALSE(recognise_script(c.text).has_value()) << c.what;
}

}  // namespace
}  // namespace wh
