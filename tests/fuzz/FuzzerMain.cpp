// The entry point of one fuzzer; VARO_FUZZ_TARGET names its target.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const varo::fuzz::Target target = varo::fuzz::TargetNamed(VARO_FUZZ_TARGET);
  target(data, size);
  return 0;
}
