// The resources both programs carry, read back from the built .exe files as
// Windows reads them: the manifest (asInvoker, Windows 10 and 11, long
// paths) and the version resource with the helper's version.
#include <windows.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "wine_support.h"

namespace wh::wine {
namespace {

std::wstring wide_path(const std::string& path) {
  const std::string windows = windows_path(path);
  std::wstring wide(windows.size() + 1, L'\0');
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, windows.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.resize(n > 0 ? static_cast<std::size_t>(n - 1) : 0);
  return wide;
}

std::string manifest_of(const std::wstring& exe) {
  HMODULE module = ::LoadLibraryExW(exe.c_str(), /*hFile=*/nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return "";
  std::string text;
  if (HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24))) {
    if (HGLOBAL loaded = ::LoadResource(module, found)) {
      text.assign(static_cast<const char*>(::LockResource(loaded)), ::SizeofResource(module, found));
    }
  }
  ::FreeLibrary(module);
  return text;
}

TEST(ProgramResources, BothProgramsCarryTheirManifestAndVersion) {
  for (const std::string& exe : {std::string(HELPER_EXE), std::string(FLASH_CARD_EXE)}) {
    SCOPED_TRACE(exe);
    const std::wstring path = wide_path(exe);
    const std::string manifest = manifest_of(path);
    EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
    EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);

    // Terminal-server aware: on a Remote Desktop Session Host Windows gives
    // neither program a per-user Windows folder.
    const std::string image = read_file(windows_path(exe));
    ASSERT_GT(image.size(), 0x200u);
    const auto pe = static_cast<std::size_t>(*reinterpret_cast<const std::uint32_t*>(image.data() + 0x3C));
    const auto* optional_header = reinterpret_cast<const IMAGE_OPTIONAL_HEADER64*>(image.data() + pe + 4 +
                                                                                   sizeof(IMAGE_FILE_HEADER));
    EXPECT_NE(optional_header->DllCharacteristics & IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE, 0);

    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, (0u << 16) | 1u);  // 0.1
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);               // .0.0
    wchar_t* text = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                                 reinterpret_cast<void**>(&text), &length));
    EXPECT_EQ(std::wstring(text), L"" WINDOWS_HELPER_VERSION);
  }
}

}  // namespace
}  // namespace wh::wine
