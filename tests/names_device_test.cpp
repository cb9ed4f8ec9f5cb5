// Output paths that lead through a device namespace to a drive or volume.
#include <gtest/gtest.h>

#include "image/output_target.h"

namespace wh {
namespace {

TEST(NamesDevice, DeviceNamespacesAreRefusedUnlessTheyLeadToAFile) {
  for (const char* path :
       {R"(\\.\PhysicalDrive1)", R"(\\?\PhysicalDrive1)", R"(//./PhysicalDrive1)",
        R"(\\?\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b})",
        R"(\\?\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b}\)", R"(\\.\C:)", R"(\\.\C:\)",
        R"(\\?\GLOBALROOT\Device\Harddisk1\Partition0)", R"(\\.\globalroot\device\harddisk1\dr1)",
        R"(\??\PhysicalDrive0)", R"(\\.\C:\..\PhysicalDrive1)", R"(\\.\pipe\helper)",
        R"(\\?\UNC\)", R"(\\.\\PhysicalDrive1)"}) {
    EXPECT_TRUE(names_device(path)) << path;
  }
  for (const char* path :
       {R"(C:\cache\image.img)", R"(\\?\C:\cache\image.img)", R"(\\.\D:\image.img)",
        R"(\\?\UNC\server\share\image.img)", R"(\\server\share\image.img)",
        R"(C:\..\image.img)", "/tmp/image.img", "image.img", ""}) {
    EXPECT_FALSE(names_device(path)) << path;
  }
}

}  // namespace
}  // namespace wh
