// SPDX-License-Identifier: BSD-2-Clause-Patent
// A whole boot of the reference board with generated platform data. The
// bytes become a board file first, so that any finding replays with
// `dxesim boot` (fuzz-board-from-bytes writes it).
#include "Board/Board.h"
#include "Boot/Boot.h"
#include "Boot/Checks.h"
#include "ByteSource.h"
#include "FuzzTargets.h"

#include <fmt/format.h>

namespace fuzz {

namespace {

std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + "\"";
}

// Attribute values the driver acts on, and text around them.
std::string attributeValue(ByteSource &in) {
  static const char *const kValues[] = {
      "AllOff",     "AllOffDynamic", "OnlyBackPortsOn", "Off", "Hidden", "InternalUsb",
      "InternalSd", "Port",          "Port5",           "On"};
  switch (in.byte() % 4) {
  case 0:
    return kValues[in.below(std::size(kValues))];
  case 1:
    return "Port" + std::to_string(in.below(16));
  case 2: {
    std::string value = kValues[in.below(std::size(kValues))];
    return value + in.text(40);
  }
  default:
    return in.text(40); // up to 40: longer than the 30 characters that fit
  }
}

std::string portName(ByteSource &in) {
  switch (in.byte() % 4) {
  case 0:
    return "Port" + std::to_string(in.below(16));
  case 1: {
    std::string before = in.text(8);
    std::string port = "Port" + std::to_string(in.below(16));
    return before + port + in.text(8);
  }
  case 2:
    return in.text(200);
  default:
    return in.text(16);
  }
}

} // namespace

std::string boardFromBytes(std::span<const uint8_t> input) {
  ByteSource in(input);
  std::string toml = "[board]\nextends = \"reference\"\nname = \"generated platform data\"\n\n";
  // The machine's table goes here once the console speed is known.
  bool fastAccesses = in.byte() % 4 == 0;
  size_t machineAt = toml.size();

  // NVRAM attributes: absent, set, or delivered without a terminator.
  static const char *const kAttributes[] = {"UsbPorts", "InternalUsb", "InternalSdCard", "RedundantOsState",
                                            "RedundantOsLocation"};
  std::string values, unterminated;
  for (const char *name : kAttributes) {
    uint8_t choice = in.byte();
    if (choice % 3 == 0) {
      continue;
    }
    values += fmt::format("{} = {}\n", name, quoted(attributeValue(in)));
    if (choice % 5 == 0) {
      unterminated += fmt::format("{}{}", unterminated.empty() ? "" : ", ", quoted(name));
    }
  }
  toml += fmt::format("[platform.nvram]\nunterminated = [{}]\n[platform.nvram.values]\n{}\n", unterminated,
                      values);

  // Identity: the System ID, the PWD answer, other states.
  static const uint16_t kSystemIds[] = {2039, 2040, 2041};
  uint8_t idChoice = in.byte();
  uint16_t systemId = idChoice % 4 == 3 ? in.u16() : kSystemIds[idChoice % 4];
  static const char *const kGetId[] = {"ok", "ok", "ok", "fail", "null-record"};
  // Every value is taken in its own statement: the order of a call's
  // arguments is unspecified, and a board must not depend on the compiler.
  unsigned pwd = in.byte() % 4 == 0 ? in.byte() : in.byte() % 2;
  const char *getId = kGetId[in.below(5)];
  uint32_t selector = in.u32();
  unsigned answer = in.byte();
  toml +=
      fmt::format("[platform.identity]\nsystem_id = {}\npwd = {}\nget_id = \"{}\"\nstates = [[{}, {}]]\n\n",
                  systemId, pwd, getId, selector, answer);

  // SATA: mode, the two calls, and up to 255 ports.
  static const char *const kGetConfig[] = {"ok", "ok", "ok", "fail"};
  static const char *const kGetPortList[] = {"ok", "ok", "ok", "fail", "null-array"};
  unsigned mode = in.byte();
  const char *getConfig = kGetConfig[in.below(4)];
  const char *getPortList = kGetPortList[in.below(5)];
  toml += fmt::format("[platform.sata]\nmode = {}\nget_config = \"{}\"\nget_port_list = \"{}\"\n", mode,
                      getConfig, getPortList);
  size_t ports = in.byte() % 4 == 0 ? in.byte() : in.below(8);
  for (size_t i = 0; i < ports && !in.empty(); i++) {
    toml += "[[platform.sata.port]]\n";
    if (in.byte() % 8 == 0) {
      toml += "null_name = true\n";
    } else {
      toml += fmt::format("name = {}\n", quoted(portName(in)));
    }
    size_t ahci = in.byte() % 4 == 0 ? in.u16() : in.below(8);
    size_t die = in.byte() % 4 == 0 ? in.byte() : in.below(4);
    toml += fmt::format("ahci = {}\ndie = {}\n", ahci, die);
  }
  toml += "\n";

  // Die buses (a later die with the same number replaces the reference's).
  size_t dies = in.below(5);
  for (size_t i = 0; i < dies; i++) {
    size_t number = in.below(8);
    unsigned bus = in.byte();
    toml += fmt::format("[[die]]\nnumber = {}\nbus = {}\n", number, bus);
  }
  // The SPI base register, and the PCI window MSR.
  if (in.byte() % 2 == 0) {
    toml += fmt::format("[[pci]]\nbus = 0\ndevice = 0x14\nfunction = 3\nregisters = [[0xA0, 0x{:X}]]\n",
                        in.u32());
  }
  if (in.byte() % 2 == 0) {
    toml += fmt::format("[[machine.msr]]\nindex = 0xC0010058\nvalue = \"0x{:X}\"\n", in.u64());
  }
  // CMOS bytes (the console speed, the error level) and level HOBs.
  size_t cmos = in.below(6);
  uint8_t consoleSpeed = 0x00; // the reference board's: 115200 baud
  if (cmos != 0) {
    toml += "[cmos]\nbytes = [";
    for (size_t i = 0; i < cmos; i++) {
      static const uint8_t kIndexes[] = {0x6F, 0x7A, 0x7B, 0x7C, 0x7D};
      size_t index = in.byte() % 4 == 0 ? in.below(128) : kIndexes[in.below(5)];
      uint8_t value = in.byte();
      toml += fmt::format("{}[{}, {}]", i == 0 ? "" : ", ", index, value);
      consoleSpeed = index == 0x6F ? value : consoleSpeed;
    }
    toml += "]\n";
  }
  // Runaways end here instead of after the reference board's two minutes.
  // Mostly slow accesses: the console's polling then takes a few reads per
  // character instead of dozens. Fast ones only at 57600 baud and up: at
  // 19200 or 9600 (bits 1-2 of the speed byte: 2 or 3) a burst's wait then
  // outlasts the console's untimed status reads and reads the PM timer
  // between strides, which the machine does not shorten: such a boot makes
  // half a million reads, the time of twenty others.
  bool slowConsole = (consoleSpeed & 0x04) != 0;
  unsigned accessCost = fastAccesses ? (slowConsole ? 5000 : 1000) : 20000;
  toml.insert(machineAt,
              fmt::format("[machine]\ntime_budget_ms = 2000\naccess_cost_ns = {}\n\n", accessCost));
  size_t hobs = in.below(3);
  for (size_t i = 0; i < hobs; i++) {
    toml += fmt::format("[[hob]]\nlevel = {}\n", in.u32());
  }
  if (in.byte() % 4 == 0) {
    toml += "[[hob_list]]\n";
    size_t listed = in.below(3);
    for (size_t i = 0; i < listed; i++) {
      if (in.byte() % 2 == 0) {
        toml += fmt::format("[[hob_list.hob]]\nlevel = {}\n", in.u32());
      } else {
        toml += "[[hob_list.hob]]\nguid = \"59D1C24F-50F1-401A-B101-F33E0DAED443\"\ndata = [";
        size_t bytes = in.below(8);
        for (size_t b = 0; b < bytes; b++) {
          toml += fmt::format("{}{}", b == 0 ? "" : ", ", in.byte());
        }
        toml += "]\n";
      }
    }
  }
  return toml;
}

Findings boot(std::span<const uint8_t> input) {
  Findings out;
  std::string toml = boardFromBytes(input);
  sim::Board board;
  try {
    board = sim::parseBoardToml(toml, "generated.toml");
  } catch (const sim::BoardError &error) {
    out.push_back(std::string("the generated board was refused: ") + error.what());
    return out;
  }
  sim::Simulation simulation(board, sim::defaultDriverImage());
  simulation.run();
  return bootFindings(simulation);
}

Findings bootFindings(sim::Simulation &simulation) {
  // Hostile platform data may rightly end a boot at a fatal stop or the
  // dead-loop marker, even inside the entry point; only a boot that ran
  // out of time is a runaway.
  const auto &halt = simulation.outcome().halt;
  bool stoppedOnPurpose = halt && halt->reason != sim::HaltReason::TimeBudget;
  Findings out;
  // The whole registry judges; a finding is a failure of a check that
  // holds on any board, however hostile its data.
  for (const sim::CheckResult &check : simulation.record().checks) {
    const sim::CheckInfo &info = sim::checkInfo(check.name);
    if (check.verdict != sim::Verdict::Fail || !info.anyBoard ||
        (stoppedOnPurpose && (check.name == "halt" || check.name == "entry"))) {
      continue;
    }
    out.push_back(check.name + ": " + check.reason);
  }
  return out;
}

} // namespace fuzz
