// SPDX-License-Identifier: BSD-2-Clause-Patent
// Runs pieces of work each in a forked child with a time limit, so that a
// crash, a sanitizer report or a hang of one is recorded and the others go
// on. The child sends a small result back over a pipe. Call only from a
// process without other threads.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace sim::explore {

struct IsolatedResult {
  // ok: the work returned its result; crash: the child died (a signal, or
  // an exit without a result); sanitizer: the child's error output holds a
  // sanitizer report; hang: no result within the limit, the child was killed.
  enum class Kind { Ok, Crash, Sanitizer, Hang } kind = Kind::Ok;
  std::string result;
  std::string detail; // what went wrong, for the others
};

const char *kindName(IsolatedResult::Kind kind);

// Runs work(0) ... work(count - 1), at most `jobs` children at a time, and
// calls done(index, result) in the parent as each child finishes.
void runIsolated(size_t count, const std::function<std::string(size_t)> &work,
                 const std::function<void(size_t, IsolatedResult)> &done, unsigned jobs,
                 std::chrono::milliseconds limit);

} // namespace sim::explore
