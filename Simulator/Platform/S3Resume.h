// SPDX-License-Identifier: BSD-2-Clause-Patent
// A sleep and resume after the boot: the platform loses the configuration
// state of the functions it was told to, then replays the type-3 entries
// the SMM handler copied, in order, through the memory-mapped
// configuration window, and compares every replayed register with its
// value at Ready to Boot.
#pragma once

#include "Machine/Machine.h"
#include "Machine/Pci.h"
#include "Machine/PciMmioWindow.h"
#include "Platform/S3Table.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct ReplayedRegister {
  uint64_t address;
  unsigned width; // bytes
  std::optional<PciRegisterAddress> reg;
  std::optional<uint64_t> beforeSleep; // at Ready to Boot
  std::optional<uint64_t> afterResume;
  bool matches() const { return beforeSleep && afterResume && *beforeSleep == *afterResume; }
};

// A register of a lost function that the boot changed and the replay did not restore.
struct UnrestoredRegister {
  PciLocation location;
  uint16_t offset; // dword
  uint32_t beforeSleep, afterResume;
};

struct S3ResumeResult {
  bool ran = false;
  std::string note;
  std::vector<PciLocation> lost;
  size_t replayed = 0; // entries written
  std::vector<ReplayedRegister> registers;
  std::vector<UnrestoredRegister> unrestored;
  size_t mismatches() const;
};

class S3ResumeModel {
public:
  // `window` may be null (the MSR leaves it disabled): nothing is reachable.
  S3ResumeModel(Machine &machine, PciConfigSpace &space, const PciMmioWindow *window);

  // At Ready to Boot: the values of the registers the entries write and the
  // configuration spaces of the functions that will be lost.
  void snapshot(const std::vector<S3TableEntry> &entries, const std::vector<PciLocation> &lose);
  bool snapshotTaken() const { return taken_; }
  // `powerOn`: the functions' register values at reset, as the board gives them.
  S3ResumeResult resume(const std::vector<S3TableEntry> &entries, const std::vector<PciLocation> &lose,
                        const std::map<PciLocation, std::vector<std::pair<uint16_t, uint32_t>>> &powerOn);

private:
  std::optional<uint64_t> peek(uint64_t address, unsigned width) const;

  Machine &machine_;
  PciConfigSpace &space_;
  const PciMmioWindow *window_;
  bool taken_ = false;
  std::map<std::pair<uint64_t, unsigned>, std::optional<uint64_t>> before_;
  std::map<PciLocation, std::vector<uint32_t>> spacesBefore_;
};

} // namespace sim
