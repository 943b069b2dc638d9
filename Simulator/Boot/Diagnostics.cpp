#include "Diagnostics.h"

#include <Guid/HobList.h>
#include <Pi/PiHob.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace sim {

namespace {
constexpr size_t kHobAlignment = 8;

void appendBytes(std::vector<uint8_t> &to, const void *bytes, size_t size) {
  const auto *first = static_cast<const uint8_t *>(bytes);
  to.insert(to.end(), first, first + size);
}

UartSummary summarise(const Uart16550 &uart) {
  UartSummary out;
  out.base = uart.base();
  out.present = uart.config().present;
  out.sent = uart.bytes().size();
  out.pending = uart.pending();
  out.lost = uart.lost();
  out.runs = uart.runs();
  for (const SentRun &run : out.runs) {
    out.lineNs += run.count * run.settings.characterNs();
  }
  return out;
}
} // namespace

std::vector<uint8_t> buildHobList(const std::vector<BoardHob> &hobs) {
  std::vector<uint8_t> list;
  EFI_HOB_HANDOFF_INFO_TABLE handoff{};
  handoff.Header.HobType = EFI_HOB_TYPE_HANDOFF;
  handoff.Header.HobLength = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  handoff.Version = 0x0009;
  appendBytes(list, &handoff, sizeof(handoff));
  for (const BoardHob &hob : hobs) {
    size_t length =
        (sizeof(EFI_HOB_GUID_TYPE) + hob.data.size() + kHobAlignment - 1) / kHobAlignment * kHobAlignment;
    if (length > MAX_UINT16) {
      throw std::invalid_argument("GUID HOB data does not fit a 16-bit HOB length");
    }
    EFI_HOB_GUID_TYPE header{};
    header.Header.HobType = EFI_HOB_TYPE_GUID_EXTENSION;
    header.Header.HobLength = static_cast<UINT16>(length);
    header.Name = hob.name;
    size_t start = list.size();
    appendBytes(list, &header, sizeof(header));
    list.insert(list.end(), hob.data.begin(), hob.data.end());
    list.resize(start + length, 0);
  }
  EFI_HOB_GENERIC_HEADER end{};
  end.HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end.HobLength = sizeof(EFI_HOB_GENERIC_HEADER);
  appendBytes(list, &end, sizeof(end));
  return list;
}

void sealHobList(std::vector<uint8_t> &list) {
  EFI_HOB_HANDOFF_INFO_TABLE handoff;
  std::memcpy(&handoff, list.data(), sizeof(handoff));
  handoff.EfiEndOfHobList =
      reinterpret_cast<uintptr_t>(list.data() + list.size() - sizeof(EFI_HOB_GENERIC_HEADER));
  std::memcpy(list.data(), &handoff, sizeof(handoff));
}

// CMOS at 0x70/0x71, the Super I/O at 0x4E/0x4F, and the UARTs. A UART
// decodes while its Super I/O logical device is active at its base, or
// always when an earlier phase set the Super I/O up.
void Simulation::attachConsole() {
  cmos_ = std::make_unique<Cmos>(board_.cmos);
  machine_.mapIo(Cmos::kIndexPort, Cmos::kDataPort, cmos_.get());
  superIo_ = std::make_unique<SuperIo>(board_.superIo);
  machine_.mapIo(SuperIo::kIndexPort, SuperIo::kDataPort, superIo_.get());

  uart3F8_ = std::make_unique<Uart16550>(machine_, 0x3F8, board_.uart3F8);
  uart2F8_ = std::make_unique<Uart16550>(machine_, 0x2F8, board_.uart2F8);
  struct Wiring {
    Uart16550 *uart;
    uint8_t device;
  };
  for (const Wiring &wiring :
       {Wiring{uart3F8_.get(), SuperIo::kUart3F8Device}, Wiring{uart2F8_.get(), SuperIo::kUart2F8Device}}) {
    if (!board_.superIo.setUpEarlier) {
      wiring.uart->setDecodeGate(superIo_->decodeFlag(wiring.device, wiring.uart->base()));
    }
    machine_.mapIo(wiring.uart->base(), wiring.uart->base() + 7, wiring.uart);
  }
  uart3F8_->onByte = [this](char byte) {
    if (onConsoleByte) {
      onConsoleByte(byte);
    }
  };
}

// The board's further HOB lists, after the core's own one.
void Simulation::installHobLists() {
  hobLists_.reserve(board_.hobLists.size());
  for (const auto &hobs : board_.hobLists) {
    hobLists_.push_back(buildHobList(hobs));
  }
  for (auto &list : hobLists_) {
    sealHobList(list);
    core_->appendConfigurationTable(gEfiHobListGuid, list.data());
  }
}

// What the last bursts left in the FIFOs still goes out on the line.
void Simulation::finishConsole() {
  uart3F8_->drain();
  uart2F8_->drain();
}

ConsoleSummary consoleSummary(const Simulation &simulation) {
  ConsoleSummary out;
  const Uart16550 &first = simulation.console();
  const Uart16550 &second = simulation.secondConsole();
  out.uarts[0] = summarise(first);
  out.uarts[1] = summarise(second);
  const std::string &a = first.bytes();
  const std::string &b = second.bytes();
  out.identical = a == b;
  if (!out.identical) {
    auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    out.firstDifference = static_cast<size_t>(mismatch.first - a.begin());
  }
  // With the same bytes, the same settings at the same bytes; otherwise the
  // same succession of settings.
  auto settingsOf = [&out](const UartSummary &uart) {
    std::vector<std::tuple<LineSettings, size_t, size_t>> settings;
    for (const SentRun &run : uart.runs) {
      settings.emplace_back(run.settings, out.identical ? run.first : 0, out.identical ? run.count : 0);
    }
    return settings;
  };
  out.sameSettings = settingsOf(out.uarts[0]) == settingsOf(out.uarts[1]);
  out.lineRateBoundNs = std::max(out.uarts[0].lineNs, out.uarts[1].lineNs);
  out.accesses = first.accesses() + second.accesses();
  out.consoleNs = first.accessNs() + second.accessNs();
  return out;
}

std::string settingsText(const UartSummary &uart) {
  std::string out;
  for (const SentRun &run : uart.runs) {
    std::string text = run.settings.text();
    out += out.empty() ? text : " then " + text;
  }
  return out.empty() ? "nothing sent" : out;
}

namespace {
std::string ms(uint64_t ns) {
  return fmt::format("{:.3f} ms", ns / 1e6);
}

// A log as one quoted line, control characters escaped.
std::string quoted(const std::string &bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
      out += fmt::format("\\x{:02X}", static_cast<unsigned char>(c));
    } else {
      out += c;
    }
  }
  return out + "\"";
}
} // namespace

std::string consoleSummaryText(const Simulation &simulation) {
  ConsoleSummary summary = consoleSummary(simulation);
  const Uart16550 *uarts[] = {&simulation.console(), &simulation.secondConsole()};
  std::string out = "-- console: UART 0x3F8 mirrored to UART 0x2F8\n";
  for (unsigned i = 0; i < 2; i++) {
    const UartSummary &uart = summary.uarts[i];
    if (!uart.present) {
      out += fmt::format("  UART 0x{:X}: not present\n", uart.base);
      continue;
    }
    std::string sent =
        uart.sent == 0 ? "nothing sent" : fmt::format("{} bytes sent at {}", uart.sent, settingsText(uart));
    out += fmt::format("  UART 0x{:X}: {}{}{}\n", uart.base, sent,
                       uart.pending != 0 ? fmt::format(", {} never sent", uart.pending) : "",
                       uart.lost != 0 ? fmt::format(", {} lost in a full FIFO", uart.lost) : "");
  }
  out += fmt::format(
      "  logs byte-identical: {}; same line settings: {}\n",
      summary.identical ? "yes" : fmt::format("NO (first difference at byte {})", *summary.firstDifference),
      summary.sameSettings ? "yes" : "NO");
  if (!summary.identical) {
    for (unsigned i = 0; i < 2; i++) {
      out += fmt::format("  log of UART 0x{:X}: {}\n", summary.uarts[i].base, quoted(uarts[i]->bytes()));
    }
  }
  const UartSummary &slower =
      summary.uarts[0].lineNs >= summary.uarts[1].lineNs ? summary.uarts[0] : summary.uarts[1];
  std::string bound =
      fmt::format("{} characters on UART 0x{:X} at {}", slower.sent, slower.base, settingsText(slower));
  if (slower.runs.size() == 1) {
    const LineSettings &settings = slower.runs[0].settings;
    bound = fmt::format("{} characters x {:g} bits / {} baud", slower.sent,
                        settings.halfBitsPerCharacter() / 2.0, settings.baud());
  }
  out += fmt::format("  line-rate bound: {} = {}\n", bound, ms(summary.lineRateBoundNs));
  out += fmt::format(
      "  console time: {} in {} UART register accesses{}\n", ms(summary.consoleNs), summary.accesses,
      summary.lineRateBoundNs == 0
          ? ""
          : fmt::format(" ({:.1f}% of the bound)", 100.0 * summary.consoleNs / summary.lineRateBoundNs));
  return out;
}

nlohmann::json consoleSummaryJson(const Simulation &simulation) {
  using nlohmann::json;
  ConsoleSummary summary = consoleSummary(simulation);
  const Uart16550 *uarts[] = {&simulation.console(), &simulation.secondConsole()};
  json out;
  out["uart0"] = uarts[0]->bytes();
  out["uart1"] = uarts[1]->bytes();
  json list = json::array();
  for (unsigned i = 0; i < 2; i++) {
    const UartSummary &uart = summary.uarts[i];
    json runs = json::array();
    for (const SentRun &run : uart.runs) {
      runs.push_back({{"settings", run.settings.text()},
                      {"divisor", run.settings.divisor},
                      {"lcr", run.settings.lcr},
                      {"first", run.first},
                      {"count", run.count},
                      {"start_ns", run.startNs},
                      {"end_ns", run.endNs}});
    }
    list.push_back({{"base", uart.base},
                    {"present", uart.present},
                    {"sent", uart.sent},
                    {"never_sent", uart.pending},
                    {"lost", uart.lost},
                    {"runs", runs},
                    {"line_ns", uart.lineNs},
                    {"accesses", uarts[i]->accesses()},
                    {"access_ns", uarts[i]->accessNs()}});
  }
  out["uarts"] = list;
  out["identical"] = summary.identical;
  out["same_settings"] = summary.sameSettings;
  out["line_rate_bound_ns"] = summary.lineRateBoundNs;
  out["console_ns"] = summary.consoleNs;
  return out;
}

} // namespace sim
