// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim's command line: every subcommand defined the same way (a CLI11
// subcommand, its options checked before any file is read), one number
// parser, one list of exit statuses (ExitStatus.h).
#pragma once

#include "Explore/Judge.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dxesim {

// Runs dxesim on these arguments (argv[0] first) and gives the exit
// status. Every boot is judged by the whole registry of checks.
// `parseOnly`: stops once the command line is read and checked, printing
// nothing: kExitOk, or kExitUsage for a command line that is wrong.
int run(int argc, const char *const *argv, bool parseOnly = false);

// Numbers on the command line: decimal, or 0x hexadecimal; never octal (a
// leading 0 is refused rather than read one way or the other), a unit
// suffix (ns, us, ms; nanoseconds) only for a time, a value beyond 64 bits
// refused with the number quoted. UsageError "WHAT: ...".
enum class NumberUnit { None, Time };
uint64_t parseNumber(const std::string &text, std::string_view what, NumberUnit unit);
// A count of things to do: 1 to `max`.
uint64_t parseCount(const std::string &text, std::string_view what, uint64_t max);

// A count option, read by the one number parser as the command line is read.
CLI::Option *addCount(CLI::App *command, const std::string &name, size_t &to, uint64_t max,
                      const std::string &help);
CLI::Option *addCount(CLI::App *command, const std::string &name, std::optional<size_t> &to, uint64_t max,
                      const std::string &help);
// Boots at a time: a few per core at most.
constexpr uint64_t kMaxJobs = 1024;
// The boots at a time asked for, or one per core (0).
unsigned cores(size_t asked);

// Text as it may be quoted in one line: control characters escaped.
std::string printable(std::string_view text);

} // namespace dxesim
