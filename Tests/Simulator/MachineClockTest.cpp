// SPDX-License-Identifier: BSD-2-Clause-Patent
// The machine's virtual clock at its limits: it saturates, so the time
// budget still ends a boot whose access cost or steps are huge.
#include "Machine/Machine.h"

#include <gtest/gtest.h>

namespace {

TEST(MachineClock, AHugeAccessCostReachesTheBudgetInsteadOfWrapping) {
  sim::Machine machine;
  machine.setAccessCostNs(uint64_t{1} << 63);
  machine.setTimeBudgetNs(~0ULL - 1);
  machine.ioRead(0x80, 1);
  EXPECT_EQ(machine.nowNs(), uint64_t{1} << 63);
  try {
    machine.ioRead(0x80, 1); // 2^64 would wrap to 0 and the budget would never be reached
    FAIL() << "the second access runs past the budget";
  } catch (const sim::MachineHalt &halt) {
    EXPECT_EQ(halt.reason, sim::HaltReason::TimeBudget);
  }
  EXPECT_EQ(machine.nowNs(), ~0ULL);
}

TEST(MachineClock, AdvancingSaturatesToo) {
  sim::Machine machine;
  machine.advance(~0ULL - 5);
  machine.advance(100);
  EXPECT_EQ(machine.nowNs(), ~0ULL);
}

} // namespace
