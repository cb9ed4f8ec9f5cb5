// Decoding STORAGE_DEVICE_DESCRIPTOR replies: each field only as far as the
// descriptor's Size covers it, and nothing past the bytes the call returned.
// Every reply is a buffer of exactly its length, so a read past it is caught
// by the address sanitizer.
#include <gtest/gtest.h>

#include "discovery/device_query.h"

namespace wh {
namespace {

using Text = std::optional<std::string>;

struct Layout {
  std::size_t length = 64;  // bytes returned
  std::uint32_t size = 64;  // the descriptor's own Size
  std::uint8_t removable = 1;
  std::uint32_t vendor = 0, product = 0, serial = 0, bus = 7;
  std::vector<std::pair<std::size_t, std::string>> bytes;  // placed at these offsets, clipped to the reply
};

std::vector<std::uint8_t> reply(const Layout& layout) {
  std::vector<std::uint8_t> out(layout.length, 0);
  const auto put = [&](std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4 && at + i < out.size(); ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  put(0, 40);
  put(4, layout.size);
  if (out.size() > 10) out[10] = layout.removable;
  put(12, layout.vendor);
  put(16, layout.product);
  put(24, layout.serial);
  put(28, layout.bus);
  for (const auto& [at, text] : layout.bytes) {
    for (std::size_t i = 0; i < text.size() && at + i < out.size(); ++i) out[at + i] = static_cast<std::uint8_t>(text[i]);
  }
  return out;
}

TEST(ParseStorageDescriptor, FieldsAndTextsWithinEveryBound) {
  const struct {
    const char* name;
    Layout layout;
    bool removable;
    std::uint32_t bus;
    Text vendor, product, serial;
  } cases[] = {
      {"whole", {.vendor = 40, .product = 48, .serial = 56, .bytes = {{40, "Acme"}, {48, "Ultra"}, {56, "0042"}}},
       true, 7, "Acme", "Ultra", "0042"},
      {"padded texts are trimmed",
       {.vendor = 40, .serial = 50, .bytes = {{40, "  Acme \t"}, {50, "  1234    "}}}, true, 7, "Acme", {}, "1234"},
      {"white space only is absent",
       {.vendor = 40, .product = 46, .serial = 52, .bytes = {{40, "    "}, {46, "\t\r\n"}, {52, "\xE3\x80\x80\xC2\xA0"}}},
       true, 7, {}, {}, {}},
      {"invalid UTF-8 becomes U+FFFD", {.vendor = 40, .bytes = {{40, "A\xFF\xC3" "B"}}}, true, 7,
       "A\xEF\xBF\xBD\xEF\xBF\xBD" "B", {}, {}},
      {"offset 0 is absent", {.bytes = {{0, "X"}}}, true, 7, {}, {}, {}},
      {"not removable", {.removable = 0, .bus = 11}, false, 11, {}, {}, {}},
      // Size shorter than the reply: fields and texts past it do not count.
      {"Size 40 ends the texts", {.size = 40, .vendor = 40, .product = 39, .bytes = {{39, "P"}, {40, "Acme"}}},
       true, 7, {}, "P", {}},
      {"Size 31 leaves out the bus", {.size = 31, .serial = 20, .bytes = {{20, "S"}}}, true, 0, {}, {}, "S"},
      {"Size 27 leaves out the serial offset", {.size = 27, .serial = 20}, true, 0, {}, {}, {}},
      {"Size 19 leaves out the product offset", {.size = 19, .vendor = 18, .product = 18, .bytes = {{18, "V"}}},
       true, 0, "V", {}, {}},
      {"Size 15 leaves out the vendor offset", {.size = 15, .vendor = 14}, true, 0, {}, {}, {}},
      {"Size 11 still covers RemovableMedia", {.size = 11}, true, 0, {}, {}, {}},
      {"Size 10 does not", {.size = 10}, false, 0, {}, {}, {}},
      {"Size 0", {.size = 0, .vendor = 40, .bytes = {{40, "Acme"}}}, false, 0, {}, {}, {}},
      // Size longer than the reply: the reply's end is the limit.
      {"no NUL before the reply ends", {.size = 1000, .vendor = 60, .bytes = {{60, "Acme"}}}, true, 7, "Acme", {}, {}},
      {"text at the last byte", {.size = 1000, .product = 63, .bytes = {{63, "Z"}}}, true, 7, {}, "Z", {}},
      {"offsets at and past the end",
       {.size = 1000, .vendor = 64, .product = 65, .serial = 0xFFFFFFFF}, true, 7, {}, {}, {}},
      {"no NUL before Size", {.size = 44, .vendor = 40, .bytes = {{40, "AcmeUltra"}}}, true, 7, "Acme", {}, {}},
      {"offset equal to Size", {.size = 44, .vendor = 44, .bytes = {{44, "Acme"}}}, true, 7, {}, {}, {}},
      {"exactly 36 bytes", {.length = 36, .size = 4096, .vendor = 35, .bytes = {{35, "V"}}}, true, 7, "V", {}, {}},
      {"1024 bytes with a larger Size", {.length = 1024, .size = 4096, .serial = 1020, .bytes = {{1020, "ABCD"}}},
       true, 7, {}, {}, "ABCD"},
      {"Size caps a longer reply at 1024",
       {.length = 1100, .size = 4096, .vendor = 1020, .product = 1024, .bytes = {{1020, "ABCDEFGH"}, {1024, "Q"}}},
       true, 7, "ABCD", {}, {}},
  };
  for (const auto& c : cases) {
    const auto bytes = reply(c.layout);
    const auto parsed = parse_storage_descriptor(bytes);
    ASSERT_TRUE(parsed) << c.name;
    EXPECT_EQ(parsed->removable_media, c.removable) << c.name;
    EXPECT_EQ(parsed->bus_type, c.bus) << c.name;
    EXPECT_EQ(parsed->vendor, c.vendor) << c.name;
    EXPECT_EQ(parsed->product, c.product) << c.name;
    EXPECT_EQ(parsed->serial, c.serial) << c.name;
  }
}

TEST(ParseStorageDescriptor, RepliesBelow36BytesAreNoDescriptor) {
  for (std::size_t length : {0u, 1u, 12u, 35u}) {
    EXPECT_FALSE(parse_storage_descriptor(reply({.length = length, .size = 36}))) << length;
  }
}

TEST(IsRemovableClass, RemovableMediaOrAUsbSdOrMmcBus) {
  const struct {
    bool removable;
    std::uint32_t bus;
    bool expected;
  } cases[] = {{true, 11, true}, {false, 7, true}, {false, 12, true}, {false, 13, true},
               {false, 11, false}, {false, 17, false}, {false, 1, false}, {false, 0, false}};
  for (const auto& c : cases) {
    DeviceDescription d;
    d.removable_media = c.removable;
    d.bus_type = c.bus;
    EXPECT_EQ(is_removable_class(d), c.expected) << c.removable << " " << c.bus;
  }
}

}  // namespace
}  // namespace wh
