// SPDX-License-Identifier: BSD-2-Clause-Patent
// The fault guard: each kind of fault raised inside a guarded call comes
// back as that call's result; outside every guard it still ends the process.
#include "Host/FaultGuard.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

// Raised by the instruction itself, as firmware would, out of the
// sanitizers' sight.
void wildWrite() {
  asm volatile("movb $0, 0x1234" ::: "memory");
}
void wildRead() {
  asm volatile("movb 0x2000, %%al" ::: "al", "memory");
}
void undefinedInstruction() {
  asm volatile("ud2");
}
void divideByZero() {
  asm volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\txorl %%edx, %%edx\n\tdivl %%ecx" ::
                   : "eax", "ecx", "edx");
}

struct FaultKind {
  const char *name;
  void (*body)();
  int signal;
  std::string described; // "...": the instruction's address stands there
};

class FaultGuardKinds : public ::testing::TestWithParam<FaultKind> {};

TEST_P(FaultGuardKinds, AFaultInsideTheGuardEndsTheCallAndIsNamed) {
  const FaultKind &kind = GetParam();
  auto fault = sim::runGuarded([&] { kind.body(); });
  ASSERT_TRUE(fault) << kind.name;
  EXPECT_EQ(fault->signal, kind.signal);
  std::string described = sim::describeFault(*fault);
  size_t gap = kind.described.find("...");
  if (gap == std::string::npos) {
    EXPECT_EQ(described, kind.described);
  } else {
    EXPECT_EQ(described.substr(0, gap), kind.described.substr(0, gap)) << described;
    EXPECT_TRUE(described.ends_with(kind.described.substr(gap + 3))) << described;
    EXPECT_EQ(fault->address, fault->pc) << "the instruction is the address";
  }
  // The guard is spent and the handler still installed: a second fault is taken too.
  EXPECT_TRUE(sim::runGuarded([&] { kind.body(); }));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultGuardKinds,
    ::testing::Values(
        FaultKind{"write", wildWrite, SIGSEGV, "SIGSEGV writing 0x0000000000001234 (address not mapped)"},
        FaultKind{"read", wildRead, SIGSEGV, "SIGSEGV reading 0x0000000000002000 (address not mapped)"},
        FaultKind{"ud2", undefinedInstruction, SIGILL, "SIGILL at 0x... (illegal instruction)"},
        FaultKind{"div", divideByZero, SIGFPE, "SIGFPE at 0x... (integer divide by zero)"},
        FaultKind{"abort", std::abort, SIGABRT, "SIGABRT (abort)"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FaultGuard, TheInnermostGuardTakesTheFaultAndExceptionsPassThrough) {
  bool innerFaulted = false;
  auto outer = sim::runGuarded([&] { innerFaulted = sim::runGuarded([] { wildWrite(); }).has_value(); });
  EXPECT_TRUE(innerFaulted);
  EXPECT_FALSE(outer);
  EXPECT_THROW(sim::runGuarded([] { throw std::runtime_error("halt"); }), std::runtime_error);
  // Neither left a guard behind: a fault now is outside every guard.
  EXPECT_DEATH(wildWrite(), "");
}

} // namespace
