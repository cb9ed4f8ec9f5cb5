// Reading the registry values the Win32 layer relies on to find the disks
// Windows needs. Pure functions over the values' text (UTF-8), so they are
// tested on every system even though only the Win32 layer uses them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wh {

// One entry of the Memory Management values ExistingPageFiles ("\??\C:\pagefile.sys")
// or PagingFiles ("C:\pagefile.sys 1024 4096", sizes optional): the page
// file's path, the "\??\" prefix and the sizes taken off. Nullopt for an
// empty entry and for "?:\pagefile.sys", where the system picks the volume.
std::optional<std::string> page_file_path(std::string_view entry);

// Every page file path of a REG_MULTI_SZ value's strings, each path once
// (compared without regard to ASCII case).
std::vector<std::string> page_file_paths(const std::vector<std::string>& entries);

}  // namespace wh
