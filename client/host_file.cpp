#include "host_file.h"

#include "host_os.h"

namespace flash {

wh::Result<std::unique_ptr<HostFile>, std::string> HostFile::open(const std::string& path) {
  std::ifstream in(utf8_path(path), std::ios::binary);
  if (!in) return wh::Err("cannot open " + path);
  return std::unique_ptr<HostFile>(new HostFile(std::move(in)));
}

wh::OsResult<std::size_t> HostFile::read(std::span<std::uint8_t> buffer) {
  in_.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
  const auto got = static_cast<std::size_t>(in_.gcount());
  if (in_.bad()) return wh::Err(failed("read."));
  in_.clear();  // the end of the file is a read of fewer bytes, not a failure
  return got;
}

wh::OsStatus HostFile::seek(std::uint64_t offset) {
  in_.clear();
  in_.seekg(static_cast<std::streamoff>(offset));
  if (!in_) return wh::Err(failed("sought."));
  return {};
}

wh::OsResult<std::uint64_t> HostFile::file_size() {
  const std::streampos here = in_.tellg();
  in_.seekg(0, std::ios::end);
  const std::streampos end = in_.tellg();
  in_.seekg(here);
  if (!in_ || end < 0) return wh::Err(failed("measured."));
  return static_cast<std::uint64_t>(end);
}

}  // namespace flash
