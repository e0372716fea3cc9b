// The seed of a randomised test: SONVALE_TEST_SEED when it is set, so that a
// failing run can be repeated exactly, otherwise a fresh one. Printed either
// way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace sonvale::testing {

inline std::uint32_t testSeed() {
  const char* fixed = std::getenv("SONVALE_TEST_SEED");
  const std::uint32_t seed = fixed != nullptr && *fixed != '\0'
                                 ? static_cast<std::uint32_t>(std::strtoul(fixed, nullptr, 10))
                                 : std::random_device{}();
  std::printf("seed %u (SONVALE_TEST_SEED=%u repeats this run)\n", seed, seed);
  std::fflush(stdout);
  return seed;
}

}  // namespace sonvale::testing
