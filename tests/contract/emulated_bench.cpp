// The contract on the emulated bus.

#include "contract/emulated_bench.h"

INSTANTIATE_TEST_SUITE_P(Emulated, UsbContract,
                         ::testing::Values(BenchMaker{"emulated", [] { return std::make_unique<EmulatedBench>(); }}),
                         BenchName);
