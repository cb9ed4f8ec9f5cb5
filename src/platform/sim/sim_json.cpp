#include "platform/sim/sim_json.h"

#include <stdexcept>

namespace wh::sim::detail {
namespace {

using nlohmann::json;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool moves_bytes(const std::string& operation) { return operation == "read" || operation == "write"; }

}  // namespace

std::string host_path(const std::string& directory, const std::string& path) {
  if (path.empty() || path.front() == '/' || directory.empty()) return path;
  return directory + "/" + path;
}

std::string file_path(const std::string& directory, const std::string& host) {
  const std::string prefix = directory + "/";
  if (!directory.empty() && host.starts_with(prefix)) return host.substr(prefix.size());
  return host;
}

Bytes bytes_from_hex(const std::string& hex, const char* member) {
  if (hex.size() % 2 != 0) throw std::invalid_argument(std::string(member) + " has an odd length");
  Bytes out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = hex_digit(hex[i]);
    const int low = hex_digit(hex[i + 1]);
    if (high < 0 || low < 0) throw std::invalid_argument(std::string(member) + " holds a non-hexadecimal character");
    out.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return out;
}

std::string hex_from_bytes(const Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

SimFault fault_from_json(const json& f, const std::string& directory) {
  SimFault fault;
  fault.operation = f.at("operation").get<std::string>();
  fault.path = optional_member<std::string>(f, "path");
  fault.interrupted = f.value("interrupted", false);
  // An interrupted call reports what a cancelled one does.
  const std::uint32_t usual = fault.operation == "disappear" ? 2u : fault.interrupted ? 995u : 31u;
  fault.error = f.value("error", usual);
  fault.after_bytes = optional_member<std::uint64_t>(f, "afterBytes");
  fault.max_bytes_per_call = optional_member<std::uint64_t>(f, "maxBytesPerCall");
  fault.after_opens = f.value("afterOpens", 0u);
  fault.count = optional_member<std::uint32_t>(f, "count");
  fault.skip = f.value("skip", 0u);
  fault.mode = optional_member<std::string>(f, "mode");
  fault.serial = optional_member<std::string>(f, "serial");
  fault.size_bytes = optional_member<std::uint64_t>(f, "sizeBytes");
  if (auto file = optional_member<std::string>(f, "backingFile")) fault.backing_file = host_path(directory, *file);
  if ((fault.after_bytes || fault.max_bytes_per_call || fault.interrupted) && !moves_bytes(fault.operation)) {
    throw std::invalid_argument("afterBytes, maxBytesPerCall and interrupted are for read and write faults");
  }
  // A fault either shapes calls or fails them.
  if (fault.max_bytes_per_call && (fault.after_bytes || fault.interrupted)) {
    throw std::invalid_argument("maxBytesPerCall cannot be combined with afterBytes or interrupted");
  }
  if (fault.operation == "corrupt") {
    fault.offset = f.at("offset").get<std::uint64_t>();
    fault.bytes = bytes_from_hex(f.at("bytesHex").get<std::string>(), "bytesHex");
    if (fault.bytes.empty()) throw std::invalid_argument("a corrupt fault needs bytesHex");
  }
  return fault;
}

json fault_to_json(const SimFault& fault, const std::string& directory) {
  json f = {{"operation", fault.operation}, {"error", fault.error}};
  if (fault.path) f["path"] = *fault.path;
  if (fault.after_bytes) f["afterBytes"] = *fault.after_bytes;
  if (fault.max_bytes_per_call) f["maxBytesPerCall"] = *fault.max_bytes_per_call;
  if (fault.interrupted) f["interrupted"] = true;
  if (fault.operation == "disappear" || fault.operation == "swap") f["afterOpens"] = fault.after_opens;
  if (fault.count) f["count"] = *fault.count;
  if (fault.skip != 0) f["skip"] = fault.skip;
  if (fault.mode) f["mode"] = *fault.mode;
  if (fault.serial) f["serial"] = *fault.serial;
  if (fault.size_bytes) f["sizeBytes"] = *fault.size_bytes;
  if (fault.backing_file) f["backingFile"] = file_path(directory, *fault.backing_file);
  if (fault.operation == "corrupt") {
    f["offset"] = fault.offset;
    f["bytesHex"] = hex_from_bytes(fault.bytes);
  }
  return f;
}

}  // namespace wh::sim::detail
