// SPDX-License-Identifier: BSD-2-Clause-Patent
// Containing a fault of firmware that runs natively in this process: a
// wild access, a trap or an abort raised while the core has called into an
// image ends that call instead of the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace sim {

// A synchronous signal raised on the thread that ran the guarded call.
struct HostFault {
  int signal = 0;
  int code = 0;              // si_code: why (address not mapped, access refused, ...)
  uintptr_t address = 0;     // the faulting address (SIGSEGV, SIGBUS, SIGILL, SIGFPE)
  uintptr_t pc = 0;          // the instruction that raised it
  std::optional<bool> write; // SIGSEGV on x86-64: the page fault was a write
};

// "SIGSEGV writing 0x0000000000001234 (address not mapped)".
std::string describeFault(const HostFault &fault);

// Thrown by the core where it called into an image that faulted: the fault
// and the code context (Machine::context) that was running. The simulation
// turns it into a halt of the machine.
struct DriverFault {
  HostFault fault;
  uint32_t context = 0;
};

// Runs body(argument). SIGSEGV, SIGBUS, SIGILL, SIGFPE or SIGABRT raised on
// this thread while it runs abandons it and returns the fault; the
// innermost guard takes it. The frames between the fault and this call are
// left without their destructors running: they must be firmware frames,
// which hold nothing. Exceptions from body pass through. A fault outside
// every guard goes to the handler that was there before (the sanitizer's,
// or the default one).
std::optional<HostFault> runGuarded(void (*body)(void *), void *argument);

template <typename F> std::optional<HostFault> runGuarded(F &&body) {
  using Body = std::remove_reference_t<F>;
  return runGuarded([](void *p) { (*static_cast<Body *>(p))(); }, static_cast<void *>(&body));
}

} // namespace sim
