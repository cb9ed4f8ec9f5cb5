// Where an extraction may not write: devices and volumes, things that are not
// files, and the image being read.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "frame/entry.h"
#include "image/output_target.h"
#include "sim_dir.h"
#include "xz_samples.h"

namespace wh {
namespace {

using nlohmann::json;
using testing::SimDir;

class OutputTarget : public ::testing::Test {
 protected:
  OutputTarget() {
    sim.write_machine({{"elevated", true}});
    sim.write_file("image.xz", xz);
  }

  json extract_to(const std::string& output) {
    auto platform = sim.platform();
    const json request{{"id", "r1"},
                       {"sessionId", "s1"},
                       {"command", "image_extract_xz"},
                       {"payload", {{"imagePath", sim.file("image.xz")}, {"outputPath", output}}}};
    CapturedLines out;
    run_helper({"--request", request.dump()}, platform, out);
    return json::parse(out.lines.back());
  }

  void expect_refused(const std::string& output, const std::string& message) {
    const json answer = extract_to(output);
    EXPECT_EQ(answer["errorCode"], "XZ_INVALID") << output;
    EXPECT_EQ(answer["errorMessage"], message + output);
    // Nothing was opened for writing, so the image is untouched.
    EXPECT_EQ(sim.read_file("image.xz"), xz);
  }

  const std::string xz = testing::xz_single_block(testing::varied_bytes(200000));
  SimDir sim;
};

TEST_F(OutputTarget, TheImageItselfUnderAnyNameIsRefused) {
  expect_refused(sim.file("image.xz"), "Output path is the image being extracted: ");
  ASSERT_EQ(::mkdir(sim.file("sub").c_str(), 0700), 0);
  expect_refused(sim.path() + "/./sub/../image.xz", "Output path is the image being extracted: ");
  ASSERT_EQ(::link(sim.file("image.xz").c_str(), sim.file("hard-link.xz").c_str()), 0);
  expect_refused(sim.file("hard-link.xz"), "Output path is the image being extracted: ");
  ASSERT_EQ(::symlink(sim.file("image.xz").c_str(), sim.file("soft-link.xz").c_str()), 0);
  expect_refused(sim.file("soft-link.xz"), "Output path is the image being extracted: ");
}

TEST_F(OutputTarget, DevicesVolumesAndNonFilesAreRefused) {
  expect_refused(R"(\\.\PhysicalDrive1)", "Output path names a device or volume, not a file: ");
  expect_refused(R"(\\?\Volume{6f1c2a3b-4d5e-11ef-9a0b-0c1d2e3f4a5b})",
                 "Output path names a device or volume, not a file: ");
  expect_refused(sim.path(), "Output path is not a regular file: ");
  ASSERT_EQ(::mkfifo(sim.file("pipe").c_str(), 0600), 0);
  expect_refused(sim.file("pipe"), "Output path is not a regular file: ");
}

TEST_F(OutputTarget, AnotherFileIsOverwritten) {
  sim.write_file("prepared.img", std::string(300000, 'x'));
  EXPECT_EQ(extract_to(sim.file("prepared.img"))["ok"], true);
  EXPECT_EQ(sim.read_file("prepared.img"), testing::varied_bytes(200000));
}

}  // namespace
}  // namespace wh
