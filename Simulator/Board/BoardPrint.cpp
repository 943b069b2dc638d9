// SPDX-License-Identifier: BSD-2-Clause-Patent
// In the order and style of boards/reference.toml: tables as the reader
// takes them, hexadecimal where the board files write registers, addresses
// and masks, decimal for counts, numbers and sizes.
#include "BoardPrint.h"

#include "Platform/ProtocolNames.h"

#include <fmt/format.h>

#include <cstdint>
#include <optional>
#include <utility>

namespace sim {

namespace {

// A TOML basic string; the reader refused control characters, but a
// quote or a backslash may be part of a name.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\u{:04X}", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string narrow(const std::u16string &text) {
  return std::string(text.begin(), text.end()); // the reader took ASCII only
}

// A TOML integer holds 63 bits; above that the board files write a string.
std::string hex(uint64_t value, int digits = 0) {
  std::string text = fmt::format("0x{:0{}X}", value, digits);
  return value > static_cast<uint64_t>(INT64_MAX) ? quoted(text) : text;
}

std::string decimal(uint64_t value) {
  return value > static_cast<uint64_t>(INT64_MAX) ? quoted(std::to_string(value)) : std::to_string(value);
}

const char *boolean(bool value) {
  return value ? "true" : "false";
}

std::string bytes(const std::vector<uint8_t> &data) {
  std::vector<std::string> items;
  for (uint8_t byte : data) {
    items.push_back(fmt::format("0x{:02X}", byte));
  }
  return fmt::format("[{}]", fmt::join(items, ", "));
}

// Names where every bit has one, as the shipped boards write them.
std::string attributes(uint64_t mask) {
  std::vector<std::string> names;
  uint64_t named = 0;
  for (const NamedValue &attribute : memoryAttributeNames()) {
    if ((mask & attribute.value) != 0) {
      names.push_back(quoted(attribute.name));
      named |= attribute.value;
    }
  }
  return named == mask ? fmt::format("[{}]", fmt::join(names, ", ")) : hex(mask);
}

std::string gcdType(EFI_GCD_MEMORY_TYPE type) {
  for (const NamedValue &known : gcdTypeNames()) {
    if (known.value == static_cast<uint64_t>(type)) {
      return quoted(known.name);
    }
  }
  return quoted("?"); // the reader makes no other type
}

class Printer {
public:
  explicit Printer(const Board &board) : b_(board) {}

  std::string run() {
    out_ += "# The effective board: every setting explicit, nothing extended.\n";
    top();
    console();
    machine();
    gcd();
    hardware();
    platformData();
    protocols();
    s3();
    failures();
    expectations();
    return out_;
  }

private:
  void table(std::string_view name) { out_ += fmt::format("\n[{}]\n", name); }
  void entry(std::string_view name) { out_ += fmt::format("\n[[{}]]\n", name); }
  void key(std::string_view name, std::string_view value) { out_ += fmt::format("{} = {}\n", name, value); }

  void top() {
    table("board");
    key("name", quoted(b_.name));
    if (!b_.driverImage.empty()) {
      key("driver_image", quoted(b_.driverImage));
    }
    table("firmware");
    key("system_table_revision", hex(b_.systemTableRevision, 8));
    key("runtime_services", boolean(b_.runtimeServices));
    key("dxe_services", boolean(b_.dxeServices));
    if (b_.expectedHalt) {
      key("expected_halt", quoted(haltReasonName(*b_.expectedHalt)));
    }
    out_ += "timeline = [\n";
    for (Step step : b_.timeline) {
      out_ += fmt::format("  {},\n", quoted(stepName(step)));
    }
    out_ += "]\n";
    table("diagnostics");
    key("debug_environment_answer", std::to_string(b_.debugEnvironmentAnswer));
  }

  void console() {
    // Bytes 0x6F and 0x7A-0x7D always, as the reference board lists them;
    // every other byte the board sets.
    std::vector<std::string> cmos;
    for (size_t i = 0; i < b_.cmos.size(); i++) {
      bool listed = i == kCmosConsoleSpeed || (i >= kCmosErrorLevel && i < kCmosErrorLevel + 4u);
      if (listed || b_.cmos[i] != 0) {
        cmos.push_back(fmt::format("[0x{:02X}, 0x{:02X}]", i, b_.cmos[i]));
      }
    }
    table("cmos");
    key("bytes", fmt::format("[{}]", fmt::join(cmos, ", ")));
    table("super_io");
    key("set_up_earlier", boolean(b_.superIo.setUpEarlier));
    for (const auto &[number, device] : b_.superIo.devices) {
      entry("super_io.device");
      key("number", std::to_string(number));
      key("active", hex(device.active, 2));
      key("base", hex(device.base, 4));
      key("irq", std::to_string(device.irq));
    }
    uart(0x3F8, b_.uart3F8);
    uart(0x2F8, b_.uart2F8);
  }

  void uart(uint16_t base, const UartConfig &config) {
    entry("uart");
    key("base", hex(base));
    key("present", boolean(config.present));
    key("fifo_reports_off", boolean(config.fifoReportsOff));
    key("never_drains", boolean(config.neverDrains));
    // Left out, a register keeps its reset value: not the same as writing it.
    if (config.divisor) {
      key("divisor", hex(*config.divisor, 4));
    }
    const std::pair<const char *, std::optional<uint8_t>> registers[] = {
        {"lcr", config.lcr}, {"mcr", config.mcr}, {"fcr", config.fcr}};
    for (const auto &[name, value] : registers) {
      if (value) {
        key(name, hex(*value, 2));
      }
    }
  }

  void machine() {
    table("machine");
    key("access_cost_ns", decimal(b_.accessCostNs));
    key("time_budget_ms", decimal(b_.timeBudgetMs));
    for (const auto &[leaf, regs] : b_.cpuid) {
      entry("machine.cpuid");
      key("leaf", leaf < 0x10 ? std::to_string(leaf) : hex(leaf, 8));
      key("eax", hex(regs.eax, 8));
      key("ebx", hex(regs.ebx, 8));
      key("ecx", hex(regs.ecx, 8));
      key("edx", hex(regs.edx, 8));
    }
    for (const auto &[index, value] : b_.msr) {
      entry("machine.msr");
      key("index", hex(index, 8));
      key("value", hex(value, 8));
    }
  }

  void gcd() {
    for (const GcdRange &range : b_.gcd) {
      entry("gcd");
      key("base", hex(range.base, 8));
      key("length", hex(range.length, 8));
      key("type", gcdType(range.type));
      key("capabilities", attributes(range.capabilities));
      key("attributes", attributes(range.attributes));
      key("allocated", boolean(range.image != nullptr));
    }
  }

  // PCD tokens where the reference board has them, then what it has not.
  void platformData() {
    for (const auto &[token, value] : b_.pcd) {
      entry("pcd");
      key("token", std::to_string(token));
      key("size", std::to_string(value.size));
      key("value", hex(value.value));
    }
    for (const BoardVariable &variable : b_.variables) {
      entry("variable");
      key("name", quoted(narrow(variable.name)));
      key("guid", quoted(guidToString(variable.guid)));
      key("data", bytes(variable.data));
      key("attributes", hex(variable.attributes));
    }
    for (const BoardHob &hob : b_.hobs) {
      entry("hob");
      this->hob(hob);
    }
    for (const std::vector<BoardHob> &list : b_.hobLists) {
      entry("hob_list");
      for (const BoardHob &hob : list) {
        entry("hob_list.hob");
        this->hob(hob);
      }
    }
  }

  // The level HOB by its level, as boards write it; any other by name and data.
  void hob(const BoardHob &hob) {
    BoardHob level = levelHob(0);
    if (sameGuid(hob.name, level.name) && hob.data.size() == level.data.size()) {
      uint32_t value = static_cast<uint32_t>(hob.data[0]) | static_cast<uint32_t>(hob.data[1]) << 8 |
                       static_cast<uint32_t>(hob.data[2]) << 16 | static_cast<uint32_t>(hob.data[3]) << 24;
      key("level", hex(value, 8));
      return;
    }
    key("guid", quoted(guidToString(hob.name)));
    key("data", bytes(hob.data));
  }

  void hardware() {
    for (const BoardPciFunction &function : b_.pci) {
      entry("pci");
      key("bus", hex(function.bus, 2));
      key("device", hex(function.device, 2));
      key("function", std::to_string(function.function));
      std::vector<std::string> registers;
      for (const auto &[offset, value] : function.registers) {
        registers.push_back(fmt::format("[0x{:02X}, 0x{:08X}]", offset, value));
      }
      key("registers", fmt::format("[{}]", fmt::join(registers, ", ")));
    }
    table("spi");
    key("control", hex(b_.spi.control, 8));
    key("restricted_cmd", hex(b_.spi.restrictedCmd, 8));
    key("restricted_cmd2", hex(b_.spi.restrictedCmd2, 8));
    key("reg_1d", hex(b_.spi.reg1D, 2));
    for (const BoardDie &die : b_.dies) {
      entry("die");
      key("number", std::to_string(die.number));
      key("bus", hex(die.bus, 2));
      std::vector<std::string> indirect;
      for (const auto &[reg, value] : die.indirect) {
        indirect.push_back(fmt::format("[0x{:08X}, 0x{:08X}]", reg, value));
      }
      key("indirect", fmt::format("[{}]", fmt::join(indirect, ", ")));
    }
  }

  void protocols() {
    for (const PlatformProtocol &protocol : platformProtocols()) {
      std::string name = fmt::format("platform.{}", protocol.key);
      if (protocol.key == "identity" && b_.identity) {
        identity(name);
      } else if (protocol.key == "nvram" && b_.nvram) {
        nvram(name);
      } else if (protocol.key == "sata" && b_.sata) {
        sata(name);
      } else if ((protocol.key == "usb_port_control" && b_.usbPortControl) ||
                 (protocol.key == "mc5744" && b_.mc5744) ||
                 (protocol.key == "smm_communication" && b_.smmCommunication)) {
        table(name);
      } else if (protocol.key == "debug_print_service" && b_.debugPrintService) {
        table(name);
        key("filters", hex(b_.debugPrintService->filters));
      }
    }
  }

  void identity(const std::string &name) {
    const IdentityConfig &config = *b_.identity;
    table(name);
    key("system_id", std::to_string(config.systemId));
    // The PWD is selector 8 of the state answers; a board without it
    // answers 0 there all the same, but lists nothing.
    std::vector<std::string> states;
    for (const auto &[selector, answer] : config.states) {
      if (selector == PLATFORM_STATE_PWD) {
        key("pwd", std::to_string(answer));
      } else {
        states.push_back(fmt::format("[{}, 0x{:02X}]", selector, answer));
      }
    }
    key("states", fmt::format("[{}]", fmt::join(states, ", ")));
    constexpr const char *kGetId[] = {"ok", "fail", "null-record"};
    key("get_id", quoted(kGetId[static_cast<int>(config.getId)]));
  }

  void nvram(const std::string &name) {
    const NvramConfig &config = *b_.nvram;
    table(name);
    std::vector<std::string> unterminated;
    for (const std::u16string &attribute : config.unterminated) {
      unterminated.push_back(quoted(narrow(attribute)));
    }
    key("unterminated", fmt::format("[{}]", fmt::join(unterminated, ", ")));
    table(name + ".values");
    for (const auto &[attribute, value] : config.values) {
      key(quoted(narrow(attribute)), quoted(narrow(value)));
    }
  }

  void sata(const std::string &name) {
    const SataConfig &config = *b_.sata;
    table(name);
    key("mode", std::to_string(config.mode));
    key("get_config", quoted(config.getConfigFails ? "fail" : "ok"));
    key("get_port_list", quoted(config.getPortListFails ? "fail" : config.nullArray ? "null-array" : "ok"));
    for (const SataPortConfig &port : config.ports) {
      entry(name + ".port");
      if (port.name) {
        key("name", quoted(narrow(*port.name)));
      } else {
        key("null_name", "true");
      }
      key("ahci", std::to_string(port.ahciPort));
      key("die", std::to_string(port.die));
    }
  }

  void s3() {
    table("s3");
    key("comm_buffer_size", decimal(b_.s3.commBufferSize));
    key("resume", boolean(b_.s3.resume));
    std::vector<std::string> lose;
    for (const PciLocation &location : b_.s3.lose) {
      lose.push_back(
          fmt::format("[0x{:02X}, 0x{:02X}, {}]", location.bus, location.device, location.function));
    }
    key("lose", fmt::format("[{}]", fmt::join(lose, ", ")));
    if (!b_.s3.clientImage.empty()) {
      key("client_image", quoted(b_.s3.clientImage));
    }
  }

  void failures() {
    for (const FailureRule &rule : b_.failures) {
      entry("fail");
      key("service", quoted(rule.service));
      key("call", std::to_string(rule.call));
      auto macro = statusMacroName(rule.status);
      key("status", quoted(macro ? *macro : statusName(rule.status)));
      if (rule.guid) {
        key("guid", quoted(guidToString(*rule.guid)));
      }
    }
  }

  void expectations() {
    if (b_.expectations.empty()) {
      return;
    }
    table("expect");
    for (const auto &[check, expectation] : b_.expectations) {
      std::string value = fmt::format("verdict = {}", quoted(verdictName(expectation.verdict)));
      if (expectation.count) {
        value += fmt::format(", count = {}", *expectation.count);
      }
      if (!expectation.reason.empty()) {
        value += fmt::format(", reason = {}", quoted(expectation.reason));
      }
      key(quoted(check), fmt::format("{{ {} }}", value));
    }
  }

  const Board &b_;
  std::string out_;
};

} // namespace

std::string boardToml(const Board &board) {
  return Printer(board).run();
}

} // namespace sim
