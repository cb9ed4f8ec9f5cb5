#include "disk_cases.h"

#include <fstream>
#include <sstream>

namespace wh::testing {

using nlohmann::json;

DiskTable load_disk_table(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const json table = json::parse(text.str());
  DiskTable loaded;
  loaded.disks = table.at("disks");
  for (const json& c : table.at("cases")) {
    loaded.cases.push_back({c.at("name"), c.at("request"), c.at("answer"), c.value("holdExclusive", false)});
  }
  for (const auto& [disk, image] : table.at("finalImages").items()) {
    loaded.final_images[static_cast<std::uint32_t>(std::stoul(disk))] = image.get<std::string>();
  }
  return loaded;
}

std::string request_text(const DiskCase& c, const std::string& images) {
  json request = c.request;
  json& payload = request["payload"];
  if (payload.contains("imagePath")) {
    std::string image = payload["imagePath"];
    const std::string mark = "{images}";
    if (image.starts_with(mark)) image = images + image.substr(mark.size());
    payload["imagePath"] = image;
  }
  return request.dump();
}

json comparable_answer(const std::string& line) {
  json answer = json::parse(line, /*cb=*/nullptr, /*allow_exceptions=*/false);
  if (answer.is_discarded()) return line;
  if (answer.contains("payload") && answer["payload"].is_object()) {
    answer["payload"].erase("speedBps");
    answer["payload"].erase("verifySpeedBps");
  }
  return answer;
}

}  // namespace wh::testing
