// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Board.h"

#include <Guid/GenericVariable.h>

#include <fmt/format.h>

#include <algorithm>

namespace sim {

namespace {
struct StepNameEntry {
  Step step;
  const char *name;
};
constexpr StepNameEntry kSteps[] = {
    {Step::Load, "load"},
    {Step::PciEnumerationComplete, "pci-enumeration-complete"},
    {Step::SmmReadyToLock, "smm-ready-to-lock"},
    {Step::EndOfDxe, "end-of-dxe"},
    {Step::ReadyToBoot, "ready-to-boot"},
    {Step::ExitBootServices, "exit-boot-services"},
    {Step::LoadS3Client, "load-s3-client"},
};
} // namespace

const char *stepName(Step step) {
  for (const auto &entry : kSteps) {
    if (entry.step == step) {
      return entry.name;
    }
  }
  return "?";
}

std::optional<Step> stepFromName(std::string_view name) {
  for (const auto &entry : kSteps) {
    if (name == entry.name) {
      return entry.step;
    }
  }
  return std::nullopt;
}

void validateBoard(const Board &board) {
  if (std::count(board.timeline.begin(), board.timeline.end(), Step::Load) != 1) {
    throw BoardError(board.source + ": the timeline must hold \"load\" exactly once");
  }
  // PCI enumeration allocates its resources through the GCD services.
  if (!board.dxeServices &&
      std::count(board.timeline.begin(), board.timeline.end(), Step::PciEnumerationComplete) != 0) {
    throw BoardError(board.source + ": a platform without DXE services cannot complete PCI enumeration");
  }
  // A service made to "fail" with success or a warning returns without its
  // results, and a caller that trusts the status crashes on them.
  for (const FailureRule &rule : board.failures) {
    if (!EFI_ERROR(rule.status)) {
      throw BoardError(fmt::format("{}: the failure rule for {} must fail with an error status, not 0x{:X}",
                                   board.source, rule.service, rule.status));
    }
  }
  // The machine counts the budget in 64-bit nanoseconds.
  if (board.timeBudgetMs > kMaxTimeBudgetMs) {
    throw BoardError(board.source + ": the time budget of " + std::to_string(board.timeBudgetMs) +
                     " ms does not fit 64-bit nanoseconds");
  }
  // The S3 hand-off writes a 40-byte message into the communication buffer.
  if (board.s3.commBufferSize != 0 && board.s3.commBufferSize < 40) {
    throw BoardError(board.source + ": the S3 communication buffer must hold the 40-byte hand-off message");
  }
}

std::span<const NamedValue> gcdTypeNames() {
  static constexpr NamedValue kTypes[] = {
      {"non-existent", EfiGcdMemoryTypeNonExistent},   {"reserved", EfiGcdMemoryTypeReserved},
      {"system-memory", EfiGcdMemoryTypeSystemMemory}, {"mmio", EfiGcdMemoryTypeMemoryMappedIo},
      {"persistent", EfiGcdMemoryTypePersistent},      {"more-reliable", EfiGcdMemoryTypeMoreReliable},
      {"unaccepted", EfiGcdMemoryTypeUnaccepted}};
  return kTypes;
}

std::span<const NamedValue> memoryAttributeNames() {
  static constexpr NamedValue kBits[] = {
      {"UC", EFI_MEMORY_UC}, {"WC", EFI_MEMORY_WC},   {"WT", EFI_MEMORY_WT},
      {"WB", EFI_MEMORY_WB}, {"UCE", EFI_MEMORY_UCE}, {"WP", EFI_MEMORY_WP},
      {"RP", EFI_MEMORY_RP}, {"XP", EFI_MEMORY_XP},   {"RUNTIME", EFI_MEMORY_RUNTIME}};
  return kBits;
}

Board referenceBoard() {
  // Its text is fixed at build time: read once per process, copied per use
  // (every board that extends it, every boot of a sweep or a matrix).
  static const Board parsed = parseBoardToml(referenceBoardToml(), "boards/reference.toml (built in)");
  return parsed;
}

BoardHob levelHob(uint32_t level) {
  return BoardHob{gEfiGenericVariableGuid,
                  {static_cast<uint8_t>(level), static_cast<uint8_t>(level >> 8),
                   static_cast<uint8_t>(level >> 16), static_cast<uint8_t>(level >> 24)}};
}

CmosBytes defaultCmos() {
  CmosBytes bytes{};
  bytes[kCmosConsoleSpeed] = 0x00;
  bytes[kCmosErrorLevel] = 0x40;
  bytes[kCmosErrorLevel + 3] = 0x80;
  return bytes;
}

uint32_t Board::cmosErrorLevel() const {
  uint32_t level = 0;
  for (unsigned i = 0; i < 4; i++) {
    level |= static_cast<uint32_t>(cmos[kCmosErrorLevel + i]) << (8 * i);
  }
  return level;
}

void Board::setCmosErrorLevel(uint32_t level) {
  for (unsigned i = 0; i < 4; i++) {
    cmos[kCmosErrorLevel + i] = static_cast<uint8_t>(level >> (8 * i));
  }
}

} // namespace sim
