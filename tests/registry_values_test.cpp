// The page file entries the Win32 layer reads from the registry.
#include <gtest/gtest.h>

#include "platform/win32/registry_values.h"

namespace wh {
namespace {

TEST(RegistryValues, PageFileEntriesGiveTheirPaths) {
  const struct {
    const char* entry;
    std::optional<std::string> path;
  } cases[] = {
      {"\\??\\C:\\pagefile.sys", "C:\\pagefile.sys"},          // ExistingPageFiles
      {"D:\\pagefile.sys 1024 4096", "D:\\pagefile.sys"},       // PagingFiles with sizes
      {"E:\\swap files\\pagefile.sys 0 0", "E:\\swap files\\pagefile.sys"},
      {"F:\\pagefile.sys", "F:\\pagefile.sys"},
      {"?:\\pagefile.sys", std::nullopt},                       // the system picks the volume
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(page_file_path(c.entry), c.path) << c.entry;
  EXPECT_EQ(page_file_paths({"\\??\\C:\\pagefile.sys", "c:\\PAGEFILE.SYS 0 0", "?:\\pagefile.sys", "D:\\p.sys 2 2"}),
            (std::vector<std::string>{"C:\\pagefile.sys", "D:\\p.sys"}));
}

}  // namespace
}  // namespace wh
