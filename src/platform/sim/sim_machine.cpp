#include "platform/sim/sim_machine.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace wh::sim {
namespace {

using nlohmann::json;

std::string host_path(const std::string& directory, const std::string& path) {
  if (path.empty() || path.front() == '/' || directory.empty()) return path;
  return directory + "/" + path;
}

template <typename T>
std::optional<T> optional_member(const json& object, const char* name) {
  auto it = object.find(name);
  if (it == object.end() || it->is_null()) return std::nullopt;
  return it->get<T>();
}

Bytes bytes_from_hex(const std::string& hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("descriptorHex has an odd length");
  Bytes out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

SimDrive drive_from_json(const json& d, const std::string& directory) {
  SimDrive drive;
  drive.number = d.at("number").get<std::uint32_t>();
  drive.backing_file = host_path(directory, d.at("backingFile").get<std::string>());
  drive.size_bytes = optional_member<std::uint64_t>(d, "sizeBytes");
  drive.vendor = optional_member<std::string>(d, "vendor");
  drive.product = optional_member<std::string>(d, "product");
  drive.serial = optional_member<std::string>(d, "serial");
  drive.bus_type = d.value("busType", 7u);
  drive.removable_media = d.value("removableMedia", true);
  drive.read_only = d.value("readOnly", false);
  if (auto hex = optional_member<std::string>(d, "descriptorHex")) drive.descriptor = bytes_from_hex(*hex);
  return drive;
}

SimVolume volume_from_json(const json& v, const std::string& directory) {
  SimVolume volume;
  volume.name = v.at("name").get<std::string>();
  for (const json& e : v.value("extents", json::array())) {
    volume.extents.push_back({e.at("disk").get<std::uint32_t>(), e.value("startingOffset", 0ull),
                              e.value("length", 0ull)});
  }
  if (auto dir = optional_member<std::string>(v, "directory")) volume.directory = host_path(directory, *dir);
  volume.mounted = v.value("mounted", true);
  return volume;
}

SimFault fault_from_json(const json& f) {
  SimFault fault;
  fault.operation = f.at("operation").get<std::string>();
  fault.path = optional_member<std::string>(f, "path");
  fault.error = f.value("error", fault.operation == "disappear" ? 2u : 31u);
  fault.after_bytes = optional_member<std::uint64_t>(f, "afterBytes");
  fault.after_opens = f.value("afterOpens", 0u);
  fault.count = optional_member<std::uint32_t>(f, "count");
  return fault;
}

std::uint32_t attribute_bits(const json& names) {
  std::uint32_t bits = 0;
  for (const json& name : names) {
    const std::string text = name.get<std::string>();
    if (text == "readOnly") bits |= kAttributeReadOnly;
    else if (text == "hidden") bits |= kAttributeHidden;
    else if (text == "system") bits |= kAttributeSystem;
    else throw std::invalid_argument("unknown file attribute " + text);
  }
  return bits;
}

void put_u32(Bytes& out, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

Result<SimMachine, std::string> machine_from_json(const json& document, const std::string& directory) {
  try {
    SimMachine machine;
    machine.directory = directory;
    machine.elevated = document.value("elevated", false);
    machine.sleep_scale = std::clamp(document.value("sleepScale", 1.0), 0.0, 1.0);
    for (const json& d : document.value("drives", json::array())) machine.drives.push_back(drive_from_json(d, directory));
    for (const json& v : document.value("volumes", json::array())) machine.volumes.push_back(volume_from_json(v, directory));
    for (const json& f : document.value("faults", json::array())) machine.faults.push_back(fault_from_json(f));
    const json attributes = document.value("fileAttributes", json::object());
    for (const auto& [path, names] : attributes.items()) {
      machine.file_attributes[host_path(directory, path)] = attribute_bits(names);
    }
    return machine;
  } catch (const std::exception& e) {
    return Err(std::string("machine.json: ") + e.what());
  }
}

Result<SimMachine, std::string> load_machine(const std::string& directory) {
  const std::string path = directory + "/machine.json";
  std::ifstream file(path, std::ios::binary);
  if (!file) return Err("cannot read " + path);
  std::stringstream text;
  text << file.rdbuf();
  json document = json::parse(text.str(), /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded()) return Err(path + " is not valid JSON");
  return machine_from_json(document, directory);
}

Bytes build_storage_descriptor(const SimDrive& drive) {
  constexpr std::size_t kFixedPart = 40;  // 36-byte header, then one raw-property byte, aligned
  Bytes out(kFixedPart, 0);
  put_u32(out, 0, kFixedPart);  // Version: the structure size, as drivers report it
  out[10] = drive.removable_media ? 1 : 0;
  put_u32(out, 28, drive.bus_type);
  const auto add_text = [&](std::size_t field, const std::optional<std::string>& text) {
    if (!text) return;
    put_u32(out, field, static_cast<std::uint32_t>(out.size()));
    out.insert(out.end(), text->begin(), text->end());
    out.push_back(0);
  };
  add_text(12, drive.vendor);
  add_text(16, drive.product);
  add_text(24, drive.serial);
  // Size tells the whole descriptor; the caller's 1024-byte buffer gets the start.
  put_u32(out, 4, static_cast<std::uint32_t>(out.size()));
  if (out.size() > 1024) out.resize(1024);
  return out;
}

}  // namespace wh::sim
