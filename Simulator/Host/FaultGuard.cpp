// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Host/FaultGuard.h"

#include <fmt/format.h>

#include <csetjmp>
#include <csignal>
#include <memory>
#include <mutex>
#include <ucontext.h>

namespace sim {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
// What was there before: a fault outside every guard goes on to it.
struct sigaction gPrevious[kSignalCount];

struct Guard {
  sigjmp_buf env;
  Guard *outer;
  HostFault fault;
};
thread_local Guard *tGuard = nullptr;

// The handler runs on a stack of its own, so a driver that overflowed its
// stack is still reported. One per thread that runs guarded calls; taken
// down before its memory goes.
struct AltStack {
  std::unique_ptr<char[]> memory;
  bool checked = false;
  ~AltStack() {
    if (memory) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
  }
};
thread_local AltStack tAltStack;
// Room for the sanitizer's report too, when a fault outside a guard goes on to it.
constexpr size_t kAltStackBytes = 256 * 1024;

void passOn(int signal, siginfo_t *info, void *context) {
  size_t i = 0;
  while (i < kSignalCount && kSignals[i] != signal) {
    i++;
  }
  const struct sigaction &previous = gPrevious[i];
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
    return;
  }
  if (previous.sa_handler == SIG_IGN) {
    return;
  }
  if (previous.sa_handler != SIG_DFL) {
    previous.sa_handler(signal);
    return;
  }
  // The default action: a fault of an instruction recurs when the handler
  // returns; a signal that was sent is sent again.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signal, &fallback, nullptr);
  if (info->si_code <= 0 || signal == SIGABRT) {
    raise(signal);
  }
}

void onFault(int signal, siginfo_t *info, void *context) {
  Guard *guard = tGuard;
  if (guard == nullptr) {
    passOn(signal, info, context);
    return;
  }
  HostFault &fault = guard->fault;
  fault.signal = signal;
  fault.code = info->si_code;
  fault.address = signal == SIGABRT ? 0 : reinterpret_cast<uintptr_t>(info->si_addr);
#if defined(__x86_64__)
  const auto *machine = static_cast<const ucontext_t *>(context);
  fault.pc = static_cast<uintptr_t>(machine->uc_mcontext.gregs[REG_RIP]);
  if (signal == SIGSEGV && info->si_code > 0) {
    fault.write = (machine->uc_mcontext.gregs[REG_ERR] & 2) != 0; // the page fault's W/R bit
  }
#endif
  tGuard = guard->outer;
  siglongjmp(guard->env, 1);
}

void installHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = onFault;
    // Not deferred: the signal is not blocked while the handler runs, so
    // jumping out of it leaves the mask as it was, and the guard need not
    // save and restore the mask (a system call) at every call into an image.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignalCount; i++) {
      sigaction(kSignals[i], &action, &gPrevious[i]);
    }
  });
}

void ensureAltStack() {
  if (tAltStack.checked) {
    return;
  }
  tAltStack.checked = true;
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
    return; // the thread has one (the sanitizer's)
  }
  auto memory = std::make_unique<char[]>(kAltStackBytes);
  stack_t stack{};
  stack.ss_sp = memory.get();
  stack.ss_size = kAltStackBytes;
  if (sigaltstack(&stack, nullptr) == 0) {
    tAltStack.memory = std::move(memory);
  }
}

const char *signalName(int signal) {
  switch (signal) {
  case SIGSEGV:
    return "SIGSEGV";
  case SIGBUS:
    return "SIGBUS";
  case SIGILL:
    return "SIGILL";
  case SIGFPE:
    return "SIGFPE";
  case SIGABRT:
    return "SIGABRT";
  }
  return "signal";
}

const char *codeName(int signal, int code) {
  if (code <= 0) {
    return signal == SIGABRT ? "abort" : "sent, not raised by an instruction";
  }
  switch (signal) {
  case SIGSEGV:
    return code == SEGV_MAPERR ? "address not mapped" : code == SEGV_ACCERR ? "access not permitted" : "";
  case SIGBUS:
    return code == BUS_ADRALN   ? "misaligned address"
           : code == BUS_ADRERR ? "no such physical address"
                                : "object-specific hardware error";
  case SIGILL:
    return code == ILL_ILLOPN || code == ILL_ILLOPC ? "illegal instruction" : "illegal instruction or trap";
  case SIGFPE:
    return code == FPE_INTDIV   ? "integer divide by zero"
           : code == FPE_INTOVF ? "integer overflow"
                                : "arithmetic";
  }
  return "";
}

} // namespace

std::string describeFault(const HostFault &fault) {
  std::string what = signalName(fault.signal);
  if (fault.signal == SIGSEGV || fault.signal == SIGBUS) {
    const char *access = !fault.write ? "at" : *fault.write ? "writing" : "reading";
    what += fmt::format(" {} 0x{:016X}", access, fault.address);
  } else if (fault.signal != SIGABRT) {
    what += fmt::format(" at 0x{:016X}", fault.address);
  }
  std::string cause = codeName(fault.signal, fault.code);
  return cause.empty() ? what : what + " (" + cause + ")";
}

std::optional<HostFault> runGuarded(void (*body)(void *), void *argument) {
  installHandlers();
  ensureAltStack();
  Guard guard{};
  guard.outer = tGuard;
  if (sigsetjmp(guard.env, 0) != 0) {
    return guard.fault; // the handler has made the outer guard current again
  }
  tGuard = &guard;
  try {
    body(argument);
  } catch (...) {
    tGuard = guard.outer;
    throw;
  }
  tGuard = guard.outer;
  return std::nullopt;
}

} // namespace sim
