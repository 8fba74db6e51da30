// Every input of the fuzzers' seed corpora, and every input that once broke
// a reader, through the same targets in the ordinary (and sanitizer) builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzTargets.h"
#include "support/SourcePath.h"

namespace varo::fuzz {
namespace {

namespace fs = std::filesystem;

class FuzzInputs : public ::testing::TestWithParam<const char*> {};

TEST_P(FuzzInputs, ReadWithoutBreakingAPromise) {
  const Target target = TargetNamed(GetParam());
  ASSERT_NE(target, nullptr);
  int inputs = 0;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path folder = test::SourcePath("tests/fuzz") / kind / GetParam();
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (!entry.is_regular_file() || entry.path().filename() == ".keep") {
        continue;
      }
      std::ifstream in(entry.path(), std::ios::binary);
      const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()};
      SCOPED_TRACE(entry.path().string());
      target(bytes.data(), bytes.size());
      ++inputs;
    }
  }
  EXPECT_GT(inputs, 0) << "every fuzzer has a seed corpus";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs,
                         ::testing::Values("update-list", "pe-version", "profile", "skin"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                           std::string name = param.param;
                           std::erase(name, '-');
                           return name;
                         });

}  // namespace
}  // namespace varo::fuzz
