// The image commands of the real windows_helper.exe on generated files: the
// prepared image must be exactly what the Linux build makes, the decoded
// bytes, also where the stream ends in zero pieces that are skipped by seeking
// and where the file holds several streams.
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "../xz_samples.h"
#include "wine_support.h"

namespace wh::wine {
namespace {

using nlohmann::json;

json last_line(const ProcessOutput& output) {
  const std::string& text = output.standard_output;
  const std::size_t start = text.rfind('\n', text.size() - 2);
  return json::parse(text.substr(start == std::string::npos ? 0 : start + 1));
}

json ask(const std::string& command, const json& payload) {
  const json request{{"id", "w"}, {"sessionId", "s"}, {"command", command}, {"payload", payload}};
  return last_line(run_helper({"--request", request.dump()}));
}

TEST(ImageExe, ExtractsExactlyWhatLinuxExtracts) {
  const std::size_t mib = 1u << 20;
  const std::vector<std::pair<std::string, std::string>> images{
      {"data-then-zeros", testing::varied_bytes(2 * mib + 17) + std::string(5 * mib, '\0')},
      {"all-zeros", std::string(3 * mib + 1, '\0')},
      {"zeros-inside", std::string(mib, '\0') + testing::varied_bytes(mib, 5) +
                           std::string(2 * mib, '\0') + testing::varied_bytes(999, 6)},
  };
  for (const auto& [name, data] : images) {
    const std::string xz = testing::xz_multi_block(data, 512 * 1024);
    const std::string source = scratch(name + ".xz");
    const std::string output = scratch(name + ".img");
    write_file(source, xz);
    EXPECT_EQ(ask("image_validate_xz", {{"imagePath", source}})["payload"], (json{{"valid", true}}));
    EXPECT_EQ(ask("image_uncompressed_size", {{"imagePath", source}})["payload"],
              (json{{"uncompressedBytes", data.size()}, {"format", "xz"}}));
    const json result = ask("image_extract_xz", {{"imagePath", source},
                                                 {"outputPath", output},
                                                 {"captureSourceSha", true}});
    EXPECT_EQ(result["payload"], (json{{"outputPath", output},
                                       {"outputSynced", true},
                                       {"sha256", testing::sha256_hex(data)},
                                       {"sourceSha256", testing::sha256_hex(xz)}}))
        << name;
    EXPECT_TRUE(read_file(output) == data) << name;
  }
}

// The format-neutral commands with the cross-built zlib, libbz2 and libzstd:
// every gzip member, bzip2 stream and zstd frame, and a raw image as it is.
TEST(ImageExe, DecodesGzipBzip2ZstdZipAndRawImages) {
  const std::size_t mib = 1u << 20;
  const std::string a = testing::disk_image(testing::varied_bytes(mib + 3, 7)) + std::string(2 * mib, '\0');
  const std::string b = testing::varied_bytes(mib / 2, 8);
  const std::vector<std::tuple<std::string, std::string, std::string>> files{
      {"two.gz", testing::gzip_member(a) + testing::gzip_member(b), "gzip"},
      {"two.bz2", testing::bzip2_stream(a) + testing::bzip2_stream(b), "bzip2"},
      {"two.zst", testing::zstd_frame(a) + testing::zstd_frame(b), "zstd"},
      {"plain.img", a + b, "raw"},
      {"one.zip", testing::zip_archive({{"pi.img", a + b}}), "zip"},
  };
  for (const auto& [name, bytes, format] : files) {
    SCOPED_TRACE(name);
    const std::string source = scratch(name);
    const std::string output = scratch(name + ".prepared");
    write_file(source, bytes);
    EXPECT_EQ(ask("image_validate", {{"imagePath", source}})["payload"],
              (json{{"valid", true}, {"format", format}, {"partitionTable", "mbr"}}));
    EXPECT_EQ(ask("image_uncompressed_size", {{"imagePath", source}, {"anyFormat", true}})["payload"],
              (json{{"uncompressedBytes", a.size() + b.size()},
                    {"sha256", testing::sha256_hex(a + b)},
                    {"format", format},
                    {"partitionTable", "mbr"}}));
    const json result = ask("image_extract", {{"imagePath", source}, {"outputPath", output}});
    EXPECT_EQ(result["payload"]["sha256"], testing::sha256_hex(a + b)) << result.dump();
    EXPECT_TRUE(read_file(output) == a + b);
  }
}

TEST(ImageExe, DecodesEveryStreamOfAConcatenatedFile) {
  for (const auto& sample : testing::concatenated_samples()) {
    SCOPED_TRACE(sample.name);
    const std::string source = scratch("joined.xz");
    const std::string output = scratch("joined.img");
    write_file(source, sample.xz);
    const json image{{"imagePath", source}};
    const json validated = ask("image_validate_xz", image);
    const json measured = ask("image_uncompressed_size", image);
    const json extracted = ask("image_extract_xz", {{"imagePath", source},
                                                    {"outputPath", output},
                                                    {"captureSourceSha", true}});
    if (!sample.decoded) {
      for (const json& answer : {validated, measured, extracted}) {
        EXPECT_EQ(answer["errorCode"], "XZ_INVALID");
        EXPECT_EQ(answer["errorMessage"], sample.error);
      }
      continue;
    }
    const std::string& data = *sample.decoded;
    EXPECT_EQ(validated["payload"], (json{{"valid", true}}));
    EXPECT_EQ(measured["payload"], (json{{"uncompressedBytes", data.size()}, {"format", "xz"}}));
    EXPECT_EQ(extracted["payload"], (json{{"outputPath", output},
                                          {"outputSynced", true},
                                          {"sha256", testing::sha256_hex(data)},
                                          {"sourceSha256", testing::sha256_hex(sample.xz)}}));
    EXPECT_TRUE(read_file(output) == data);
  }
}

TEST(ImageExe, RefusesDevicesAndTheSourceItself) {
  const std::string source = scratch("small.xz");
  write_file(source, testing::xz_single_block("small"));
  for (const std::string& output : {std::string(R"(\\.\PhysicalDrive0)"), source,
                                    scratch(R"(..\scratch\small.xz)"), scratch("")}) {
    const json answer = ask("image_extract_xz", {{"imagePath", source}, {"outputPath", output}});
    EXPECT_EQ(answer["errorCode"], "XZ_INVALID") << output;
  }
  EXPECT_EQ(read_file(source), testing::xz_single_block("small"));
}

}  // namespace
}  // namespace wh::wine
