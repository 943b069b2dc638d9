// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "PlatformModel.h"

#include "PolicyModel.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

constexpr uint64_t kAcpiPage = 0xFED80000;
constexpr uint64_t kPage = 0x1000;
constexpr uint64_t kUc = 0x1;
constexpr uint64_t kRuntime = 0x8000000000000000ULL;
constexpr uint32_t kPciWindowMsr = 0xC0010058;
constexpr uint32_t kUefi20 = 0x00020000;

// The platform's steps as the driver sees them: whether each happens at all,
// and whether after the driver is loaded (a group signalled before the
// driver registered for it never reaches it; a protocol installed before
// is found when the driver registers).
struct Timeline {
  bool loaded = false, enumerated = false, endOfDxe = false, readyToBoot = false, s3Client = false;
};

Timeline timelineOf(const Board &board) {
  Timeline t;
  bool enumeration = false;
  for (Step step : board.timeline) {
    t.loaded |= step == Step::Load;
    enumeration |= step == Step::PciEnumerationComplete;
    t.endOfDxe |= t.loaded && step == Step::EndOfDxe;
    t.readyToBoot |= t.loaded && step == Step::ReadyToBoot;
    t.s3Client |= step == Step::LoadS3Client;
  }
  t.enumerated = t.loaded && enumeration;
  return t;
}

// The last description a board gives of a PCI function's register.
std::optional<uint32_t> pciRegister(const Board &board, PciLocation at, uint16_t offset) {
  std::optional<uint32_t> value;
  bool exists = false;
  for (const BoardPciFunction &f : board.pci) {
    if (f.bus == at.bus && f.device == at.device && f.function == at.function) {
      exists = true;
      value = 0;
      for (const auto &[reg, v] : f.registers) {
        if (reg == offset) {
          value = v;
        }
      }
    }
  }
  return exists ? value : std::nullopt;
}

bool isRam(EFI_GCD_MEMORY_TYPE type) {
  return type == EfiGcdMemoryTypeSystemMemory || type == EfiGcdMemoryTypePersistent ||
         type == EfiGcdMemoryTypeMoreReliable || type == EfiGcdMemoryTypeUnaccepted;
}

// Whether the map takes new attributes for a page: it must describe the
// page as existing, and the range must support every attribute asked for.
bool attributesTaken(const GcdRange *range, uint64_t attributes) {
  return range != nullptr && range->type != EfiGcdMemoryTypeNonExistent &&
         (attributes & ~range->capabilities) == 0;
}

struct SpiBase {
  std::optional<uint64_t> usable;
  std::string why;
};

// The flash controller's base is the bridge's register with the low six
// bits cleared. It is no base when the bridge is missing (reads all ones)
// or the register holds none; the driver must refuse the ACPI MMIO page
// and a page the GCD map calls RAM. What the map does not know is used.
SpiBase spiBaseOf(const Board &board) {
  std::optional<uint32_t> raw = pciRegister(board, kSpiBridge, kSpiBaseRegister);
  if (!raw || *raw == 0xFFFFFFFFu) {
    return {std::nullopt, "no SPI bridge answers: its base register reads all ones"};
  }
  uint64_t base = *raw & 0xFFFFFFC0u;
  if (base == 0) {
    return {std::nullopt, "the SPI base register holds 0"};
  }
  if ((base & ~(kPage - 1)) == kAcpiPage) {
    return {std::nullopt, "the SPI base lies on the ACPI MMIO page"};
  }
  const GcdRange *range = rangeHolding(board.gcd, base);
  if (board.dxeServices && range != nullptr && isRam(range->type)) {
    return {std::nullopt, "the GCD map calls the SPI page RAM"};
  }
  return {base, ""};
}

bool pciWindowOn(const Board &board) {
  auto msr = board.msr.find(kPciWindowMsr);
  return msr != board.msr.end() && (msr->second & 1) != 0;
}

// What the GCD calls of the PCI-enumeration work answer, and the
// assertions their refusals raise.
struct GcdOutcome {
  unsigned assertions = 0;
  std::vector<std::string> refused; // what the platform's map turned away
};

GcdOutcome enumerationGcd(const Board &board, const SpiBase &spi) {
  GcdOutcome out;
  const GcdRange *acpi = rangeHolding(board.gcd, kAcpiPage);
  bool acpiFree = acpi != nullptr && acpi->type == EfiGcdMemoryTypeMemoryMappedIo && acpi->image == nullptr &&
                  acpi->base + (acpi->length - 1) >= kAcpiPage + (kPage - 1);
  if (!acpiFree) {
    out.assertions++;
    out.refused.push_back("the ACPI MMIO page is not free MMIO in the GCD map, so it cannot be allocated");
  }
  if (acpi == nullptr) {
    out.assertions++;
    out.refused.push_back("the GCD map does not describe the ACPI MMIO page");
  }
  uint64_t acpiAttributes = (acpi != nullptr ? acpi->attributes : 0) | kRuntime | kUc;
  if (!attributesTaken(acpi, acpiAttributes)) {
    out.assertions++;
    out.refused.push_back("the GCD map does not take UC|RUNTIME for the ACPI MMIO page");
  }
  if (spi.usable) {
    const GcdRange *page = rangeHolding(board.gcd, *spi.usable);
    if (page == nullptr) {
      out.assertions++;
      out.refused.push_back("the GCD map does not describe the SPI page");
    }
    if (!attributesTaken(page, (page != nullptr ? page->attributes : 0) | kRuntime)) {
      out.assertions++;
      out.refused.push_back("the GCD map does not take RUNTIME for the SPI page");
    }
  }
  return out;
}

// Bytes reach a UART only while the Super I/O decodes it: set up by an
// earlier phase, or programmed by the console, which programs the Super
// I/O only when neither logical device reads as active (exactly 1).
bool decodes(const Board &board, uint8_t device, uint16_t base) {
  if (board.superIo.setUpEarlier) {
    return true;
  }
  auto state = [&](uint8_t number) {
    auto it = board.superIo.devices.find(number);
    return it == board.superIo.devices.end() ? SuperIoDevice{} : it->second;
  };
  if (state(3).active != 1 && state(2).active != 1) {
    return true;
  }
  return (state(device).active & 1) != 0 && state(device).base == base;
}

// The error level the driver settles on: the first level HOB of the first
// HOB list in the configuration table (the core's own list comes first),
// else the CMOS bytes. Unknown (nullopt) for a level HOB too short to hold
// a level: the driver then reads past its data.
std::optional<uint32_t> errorLevel(const Board &board) {
  const std::vector<BoardHob> *first =
      !board.hobs.empty() ? &board.hobs : (!board.hobLists.empty() ? &board.hobLists.front() : nullptr);
  if (first != nullptr) {
    BoardHob level = levelHob(0);
    for (const BoardHob &hob : *first) {
      if (std::memcmp(&hob.name, &level.name, sizeof(EFI_GUID)) == 0) {
        if (hob.data.size() < 4) {
          return std::nullopt;
        }
        return static_cast<uint32_t>(hob.data[0] | hob.data[1] << 8 | hob.data[2] << 16 |
                                     static_cast<uint32_t>(hob.data[3]) << 24);
      }
    }
  }
  return board.cmosErrorLevel();
}

// What the console check must conclude: nullopt when the board does not
// decide it (a level the model cannot know).
std::optional<Prediction> consoleOf(const Board &board, const Timeline &t, size_t assertions) {
  auto outcome = [](Verdict v, std::string why) {
    return Prediction{Expectation{v, std::nullopt}, std::move(why)};
  };
  for (const auto &[uart, name] : {std::pair{&board.uart3F8, "0x3F8"}, std::pair{&board.uart2F8, "0x2F8"}}) {
    if (!uart->present) {
      return outcome(Verdict::Warn, fmt::format("no UART answers at {}", name));
    }
  }
  std::optional<uint32_t> level = errorLevel(board);
  bool informational = level && (*level & 0x40) != 0 && (t.enumerated || t.endOfDxe || t.readyToBoot);
  if (!informational && assertions == 0) {
    if (!level || (*level & 0x80000000u) != 0) {
      return std::nullopt; // whether an error message is due depends on more than the platform
    }
    if (board.uart3F8.fifoReportsOff) {
      return outcome(Verdict::Warn, "the UART at 0x3F8 reports its FIFOs off");
    }
    return outcome(Verdict::Pass, "nothing is due on the console");
  }
  if (board.uart3F8.fifoReportsOff) {
    return outcome(Verdict::Warn, "the UART at 0x3F8 reports its FIFOs off: the console stops writing");
  }
  bool primary = decodes(board, 3, 0x3F8), secondary = decodes(board, 2, 0x2F8);
  if (!primary || !secondary) {
    return outcome(Verdict::Warn,
                   fmt::format("the Super I/O does not decode the UART at {}: nothing goes out there",
                               !primary ? "0x3F8" : "0x2F8"));
  }
  if (board.uart3F8.neverDrains || board.uart2F8.neverDrains) {
    return outcome(Verdict::Warn, fmt::format("the UART at {} never sends what it is given",
                                              board.uart3F8.neverDrains ? "0x3F8" : "0x2F8"));
  }
  return outcome(Verdict::Pass, "both UARTs decode and drain");
}

Prediction pass(std::string why) {
  return Prediction{Expectation{Verdict::Pass, std::nullopt}, std::move(why)};
}

Prediction verdict(Verdict v, std::string why) {
  return Prediction{Expectation{v, std::nullopt}, std::move(why)};
}

// Whether the port policy switches anything off on this board.
bool portsSwitched(const Board &board, const Timeline &t) {
  BootRecord record;
  for (Step step : board.timeline) {
    record.timeline.push_back(RecordedStep{step, 0, "", true});
  }
  for (uint8_t die = 0; die < 8; die++) {
    std::optional<uint32_t> bus;
    for (const BoardDie &d : board.dies) {
      if (d.number == die) {
        bus = d.bus;
      }
    }
    if (!bus) {
      bus = pciRegister(board, PciLocation{0, static_cast<uint8_t>(0x18 + die), 0}, 0x84);
    }
    record.platform.dieBuses.push_back(DieBusRead{die, bus.value_or(0xFFFFFFFFu)});
  }
  std::string note;
  std::optional<PolicyOutcome> policy = expectedPolicy(board, record, &note);
  if (!policy || !t.endOfDxe) {
    return false;
  }
  bool usb = std::any_of(policy->portMaskCalls.begin(), policy->portMaskCalls.end(),
                         [](const auto &call) { return (call.first & call.second) != 0; });
  bool hub = policy->hubEnables && std::any_of(policy->hubEnables->begin(), policy->hubEnables->end(),
                                               [](uint32_t e) { return e == 0; });
  return usb || hub || !policy->dieWrites.empty();
}

} // namespace

std::map<std::string, Prediction, std::less<>> predictChecks(const Board &board) {
  std::map<std::string, Prediction, std::less<>> out;
  Timeline t = timelineOf(board);
  SpiBase spi = spiBaseOf(board);

  out["entry"] = pass("the entry returns success on any platform");
  out["halt"] = pass("nothing on the platform stops the machine");
  out["events.closed"] = pass("each notify that ran closes its event");
  out["events.once"] = pass("each notify that acts closes its event");
  out["fatal-stops"] =
      Prediction{Expectation{Verdict::Pass, 0}, "no width code or entry type that cannot occur"};
  out["pool.misuse"] = pass("the pool is used as handed out");

  // Assertions the platform calls for, where it calls for them.
  unsigned assertions = 0;
  std::vector<std::string> why;
  if (board.systemTableRevision < kUefi20) {
    assertions += 2;
    why.push_back("2: the firmware is older than UEFI 2.0, so Ready to Boot cannot be registered");
  }
  if (!board.runtimeServices) {
    assertions += 1;
    why.push_back("1: the system table has no runtime services");
  }
  if (!board.dxeServices) {
    assertions += 3;
    why.push_back("3: no DXE services table in the configuration table");
  }
  unsigned s3Modules = t.loaded ? (t.s3Client ? 2 : 1) : 0;
  if (!pciWindowOn(board) && s3Modules != 0) {
    assertions += s3Modules;
    why.push_back(fmt::format("{}: the PCI configuration window is off, once per module with the S3 library",
                              s3Modules));
  }
  GcdOutcome gcd;
  if (t.enumerated && board.dxeServices) {
    gcd = enumerationGcd(board, spi);
    if (gcd.assertions != 0) {
      assertions += gcd.assertions;
      why.push_back(fmt::format("{}: {}", gcd.assertions, fmt::join(gcd.refused, "; ")));
    }
  }
  std::string counted = why.empty() ? "the platform calls for none" : fmt::format("{}", fmt::join(why, "; "));
  out["assertions"] = Prediction{Expectation{Verdict::Pass, assertions}, counted};
  out["breakpoints"] = Prediction{Expectation{Verdict::Pass, assertions}, "every assertion ends in a trap"};

  // The pages the driver reports at PCI enumeration.
  if (!t.enumerated) {
    out["runtime-mmio"] = verdict(Verdict::NotApplicable, "PCI enumeration never completes");
  } else if (!board.dxeServices) {
    out["runtime-mmio"] = verdict(Verdict::Warn, "without DXE services no page can be reported");
  } else if (!gcd.refused.empty()) {
    out["runtime-mmio"] = verdict(Verdict::Warn, fmt::format("{}", fmt::join(gcd.refused, "; ")));
  } else {
    out["runtime-mmio"] =
        pass(spi.usable ? "both pages are free to report" : "the ACPI MMIO page is free to report");
  }

  if (!spi.usable) {
    out["spi.protect"] = verdict(Verdict::Warn, "no usable SPI base: " + spi.why);
    out["spi.lock"] = verdict(Verdict::NotApplicable, "no usable SPI base");
  } else if (!t.endOfDxe) {
    out["spi.protect"] = verdict(Verdict::NotApplicable, "End of DXE never reaches the driver");
    out["spi.lock"] = verdict(Verdict::NotApplicable, "End of DXE never reaches the driver");
  } else {
    out["spi.protect"] = pass("a usable SPI base, protected at End of DXE");
    out["spi.lock"] = pass("locked exactly when the PWD answers 1");
  }
  out["spi.armed-before-ports"] = !spi.usable ? verdict(Verdict::NotApplicable, "no usable SPI base to arm")
                                  : portsSwitched(board, t)
                                      ? pass("protection is armed before the policy switches ports")
                                      : verdict(Verdict::NotApplicable, "the policy switches no port off");
  out["usb-policy"] = pass("the policy model's outcome");
  out["sata-policy"] = pass("the policy model's outcome");

  if (std::optional<Prediction> console = consoleOf(board, t, assertions)) {
    out["console"] = *console;
  }

  if (!t.readyToBoot) {
    out["s3.handoff"] = verdict(Verdict::NotApplicable, "Ready to Boot never comes");
  } else {
    out["s3.handoff"] = pass("a recorded table is handed off once");
  }
  if (!board.s3.resume) {
    out["s3.resume"] = verdict(Verdict::NotApplicable, "the board does not sleep");
  }
  if (board.failures.empty()) {
    out["board.fail-rules"] = verdict(Verdict::NotApplicable, "no failure rules");
    out["failure-path"] = verdict(Verdict::NotApplicable, "no failure injected");
  }
  return out;
}

} // namespace sim
