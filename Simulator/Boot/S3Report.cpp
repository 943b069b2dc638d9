#include "S3Report.h"

#include <fmt/format.h>

#include <cstring>

namespace sim {

namespace {

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

std::string location(const PciLocation &l) {
  return fmt::format("{:X}:{:02X}.{:X}", l.bus, l.device, l.function);
}

// Whole bytes of live pool at this address, as the boot left it.
const PoolBlock *liveBlock(DxeCore &core, uint64_t address, uint64_t size, std::vector<PoolBlock> &pool) {
  pool = core.poolInUse();
  for (const PoolBlock &block : pool) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block.address));
    if (address != 0 && address >= first && address + size <= first + block.size) {
      return &block;
    }
  }
  return nullptr;
}

// A live pool address by the block it points into; any other by its value.
std::string hostName(Simulation &simulation, uint64_t address) {
  if (address == 0) {
    return "0x0";
  }
  if (auto name = poolAddressName(simulation.core(), address)) {
    return *name;
  }
  return address == simulation.s3().commBuffer() ? "communication buffer" : "not live pool (freed)";
}

// The private-data address (bytes 32-39) differs from run to run: it is
// shown by name, the bytes before it as they are.
std::string messageText(const SmmCommunicateCall &call, const std::string &indent) {
  size_t fixed = std::min<size_t>(call.message.size(), 32);
  std::string out = hexBytes(std::span<const uint8_t>(call.message.data(), fixed), indent);
  if (call.message.size() >= 40) {
    out += fmt::format("{}+ 8-byte private data address: {}\n", indent, call.privateDataName);
  }
  if (call.message.size() > 40) {
    out += hexBytes(std::span<const uint8_t>(call.message.data() + 40, call.message.size() - 40), indent);
  }
  return out;
}

std::string withoutNewline(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

} // namespace

std::string pcdValueText(Simulation &simulation, uint64_t value) {
  return value == 0 ? "0x0" : poolAddressName(simulation.core(), value).value_or(hex(value));
}

S3LibraryState s3LibraryState(Simulation &simulation) {
  S3LibraryState out;
  DxeCore &core = simulation.core();
  auto token = core.pcdTokens().find(kPcdS3SavePrivateData);
  out.address = token == core.pcdTokens().end() ? 0 : token->second.value;
  std::vector<PoolBlock> pool;
  if (out.address == 0) {
    out.state = "no private data";
    return out;
  }
  if (liveBlock(core, out.address, 16, pool) == nullptr) {
    out.state = "private data address is not live pool";
    return out;
  }
  const auto *bytes = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(out.address));
  S3PrivateData data;
  data.address = out.address;
  data.bootScriptLocked = bytes[0];
  data.tableClosed = bytes[1];
  std::memcpy(&data.tableBase, bytes + 8, 8);
  out.data = data;
  out.state = data.tableClosed != 0        ? "closed"
              : data.bootScriptLocked != 0 ? "recording"
                                           : "before ready-to-lock";
  if (data.tableBase != 0 && liveBlock(core, data.tableBase, kS3TableHeaderSize, pool) != nullptr) {
    uint64_t length = 0;
    std::memcpy(&length, reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(data.tableBase)) + 0x20, 8);
    const uint8_t *table = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(data.tableBase));
    if (length < (uint64_t{1} << 30) && liveBlock(core, data.tableBase, length + 4, pool) != nullptr) {
      out.table = decodeS3Table(std::span<const uint8_t>(table, length + 4), false);
    } else {
      out.table = decodeS3Table(std::span<const uint8_t>(table, kS3TableHeaderSize), false);
    }
  }
  return out;
}

std::string hexBytes(std::span<const uint8_t> bytes, const std::string &indent) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i++) {
    out += i % 16 == 0 ? (i == 0 ? indent : "\n" + indent) : " ";
    out += fmt::format("{:02X}", bytes[i]);
  }
  return out + "\n";
}

std::string s3TableText(const S3TableDecode &table, const std::string &indent) {
  std::string out =
      fmt::format("{}signature 0x{:08X}  version {}  TableLength 0x{:X}  NextOffset 0x{:X}  terminator "
                  "{}  end marker {}  {} entries\n",
                  indent, table.signature, table.version, table.tableLength, table.nextOffset,
                  table.terminated ? "yes" : "no", table.endMarker ? "yes" : "no", table.entries.size());
  for (const S3TableEntry &entry : table.entries) {
    out += indent + "  " + describeS3Entry(entry) + "\n";
  }
  for (const std::string &problem : table.problems) {
    out += indent + "  PROBLEM: " + problem + "\n";
  }
  return out;
}

nlohmann::json s3TableJson(const S3TableDecode &table) {
  nlohmann::json entries = nlohmann::json::array();
  for (const S3TableEntry &entry : table.entries) {
    nlohmann::json e = {{"offset", hex(entry.offset)}, {"type", entry.type}, {"size", entry.size}};
    nlohmann::json arguments = nlohmann::json::array();
    for (uint64_t argument : entry.arguments) {
      arguments.push_back(hex(argument));
    }
    e["arguments"] = arguments;
    if (entry.type == kS3MemWriteEntry) {
      e["width_bits"] = entry.widthBytes() * 8;
      e["address"] = hex(entry.arguments[1]);
      e["value"] = hex(entry.arguments[2]);
    }
    entries.push_back(e);
  }
  return {{"valid", table.valid},
          {"problems", table.problems},
          {"signature", hex(table.signature)},
          {"version", table.version},
          {"table_length", hex(table.tableLength)},
          {"next_offset", hex(table.nextOffset)},
          {"terminated", table.terminated},
          {"end_marker", table.endMarker},
          {"entries", entries}};
}

std::string s3TextSummary(Simulation &simulation) {
  const S3Platform &s3 = simulation.s3();
  std::string out;
  auto line = [&out](const std::string &text) {
    out += text;
    out += '\n';
  };

  if (const PciMmioWindow *window = s3.window()) {
    line(fmt::format("-- PCI configuration window: {} +{} MiB ({} buses)", hex(window->base()),
                     window->size() >> 20, window->buses()));
  } else {
    line("-- PCI configuration window: disabled (MSR 0xC0010058 bit 0 clear)");
  }

  S3LibraryState state = s3LibraryState(simulation);
  line(fmt::format("-- S3 save library: {}", state.state));
  if (state.data) {
    line(fmt::format("  private data {} (PCD 214): BootScriptLocked {}  TableClosed {}  TableBase {}",
                     hostName(simulation, state.address), state.data->bootScriptLocked,
                     state.data->tableClosed, hostName(simulation, state.data->tableBase)));
  }
  if (state.table) {
    line("  table still in memory (not handed off):");
    out += s3TableText(*state.table, "    ");
  }

  if (const DebugPrintServiceModel *service = s3.debugPrint()) {
    size_t printed = 0;
    for (const DebugPrintLine &entry : service->lines()) {
      printed += entry.printed ? 1 : 0;
    }
    line(fmt::format("-- debug-print service: {} lines, {} printed (filters {})", service->lines().size(),
                     printed, hex(service->enabledFilters())));
    for (const DebugPrintLine &entry : service->lines()) {
      line(fmt::format("  [{}] {}{}", hex(entry.filter), withoutNewline(entry.text),
                       entry.printed ? "" : "  (dropped)"));
    }
  } else {
    line("-- debug-print service: not installed");
  }

  if (const SmmCommunicationModel *smm = s3.smmCommunication()) {
    line(fmt::format("-- SMM Communication: {} calls", smm->calls().size()));
    for (size_t i = 0; i < smm->calls().size(); i++) {
      const SmmCommunicateCall &call = smm->calls()[i];
      line(fmt::format("  call {}: buffer {}, CommSize {} -> {}{}", i + 1, call.bufferName,
                       call.commSize ? std::to_string(*call.commSize) : "NULL", statusName(call.status),
                       call.accepted ? ", accepted" : ", refused: " + call.reason));
      if (!call.message.empty()) {
        line(fmt::format("  message ({} bytes):", call.message.size()));
        out += messageText(call, "    ");
      }
      if (call.privateData) {
        line(fmt::format("  private data {}: BootScriptLocked {}  TableClosed {}  TableBase {}",
                         call.privateDataName, call.privateData->bootScriptLocked,
                         call.privateData->tableClosed, call.tableName));
      }
      if (!call.table.empty()) {
        line("  table as handed off:");
        out += s3TableText(call.decoded, "    ");
      }
    }
  } else {
    line("-- SMM Communication: not installed");
  }

  if (const auto &resume = s3.resumeResult()) {
    line(fmt::format("-- S3 resume: {} entries replayed, {} registers compared, {} mismatches",
                     resume->replayed, resume->registers.size(), resume->mismatches()));
    if (!resume->note.empty()) {
      line("  " + resume->note);
    }
    std::string lost;
    for (const PciLocation &l : resume->lost) {
      lost += " " + location(l);
    }
    line("  state lost:" + (lost.empty() ? std::string(" nothing") : lost));
    for (const ReplayedRegister &reg : resume->registers) {
      auto value = [&reg](const std::optional<uint64_t> &v) {
        return v ? fmt::format("0x{:0{}X}", *v, reg.width * 2) : std::string("unreachable");
      };
      line(fmt::format("  0x{:016X} {:>2}-bit {:<14} Ready to Boot {}  after resume {}  {}", reg.address,
                       reg.width * 8,
                       reg.reg ? fmt::format("{}+0x{:03X}", location(reg.reg->location), reg.reg->offset)
                               : "outside window",
                       value(reg.beforeSleep), value(reg.afterResume), reg.matches() ? "equal" : "MISMATCH"));
    }
    for (const UnrestoredRegister &reg : resume->unrestored) {
      line(fmt::format("  NOT RESTORED {}+0x{:03X}: 0x{:08X} at Ready to Boot, 0x{:08X} after resume",
                       location(reg.location), reg.offset, reg.beforeSleep, reg.afterResume));
    }
  }
  return out;
}

nlohmann::json s3JsonReport(Simulation &simulation) {
  using nlohmann::json;
  const S3Platform &s3 = simulation.s3();
  json report;
  if (const PciMmioWindow *window = s3.window()) {
    report["window"] = {
        {"base", hex(window->base())}, {"size", hex(window->size())}, {"buses", window->buses()}};
  } else {
    report["window"] = nullptr;
  }
  S3LibraryState state = s3LibraryState(simulation);
  json library = {{"state", state.state}, {"private_data", hostName(simulation, state.address)}};
  if (state.data) {
    library["boot_script_locked"] = state.data->bootScriptLocked;
    library["table_closed"] = state.data->tableClosed;
    library["table_base"] = hostName(simulation, state.data->tableBase);
  }
  if (state.table) {
    library["live_table"] = s3TableJson(*state.table);
  }
  report["library"] = library;
  if (const DebugPrintServiceModel *service = s3.debugPrint()) {
    json lines = json::array();
    for (const DebugPrintLine &entry : service->lines()) {
      lines.push_back({{"filter", hex(entry.filter)}, {"text", entry.text}, {"printed", entry.printed}});
    }
    report["debug_print"] = {{"filters", hex(service->enabledFilters())}, {"lines", lines}};
  } else {
    report["debug_print"] = nullptr;
  }
  if (const SmmCommunicationModel *smm = s3.smmCommunication()) {
    json calls = json::array();
    for (const SmmCommunicateCall &call : smm->calls()) {
      std::string message;
      for (size_t i = 0; i < call.message.size(); i++) {
        // The private-data address is given by name below.
        message += i >= 32 && i < 40 ? std::string("..") : fmt::format("{:02X}", call.message[i]);
      }
      json c = {{"buffer", call.bufferName},
                {"comm_size", call.commSize ? json(*call.commSize) : json(nullptr)},
                {"status", statusName(call.status)},
                {"accepted", call.accepted},
                {"reason", call.reason},
                {"message", message}};
      if (call.privateData) {
        c["private_data"] = {{"address", call.privateDataName},
                             {"boot_script_locked", call.privateData->bootScriptLocked},
                             {"table_closed", call.privateData->tableClosed},
                             {"table_base", call.tableName}};
      }
      if (!call.table.empty()) {
        c["table"] = s3TableJson(call.decoded);
      }
      calls.push_back(c);
    }
    report["smm_communication"] = {{"calls", calls}};
  } else {
    report["smm_communication"] = nullptr;
  }
  if (const auto &resume = s3.resumeResult()) {
    json registers = json::array();
    for (const ReplayedRegister &reg : resume->registers) {
      registers.push_back({{"address", hex(reg.address)},
                           {"width_bits", reg.width * 8},
                           {"before_sleep", reg.beforeSleep ? json(hex(*reg.beforeSleep)) : json(nullptr)},
                           {"after_resume", reg.afterResume ? json(hex(*reg.afterResume)) : json(nullptr)},
                           {"equal", reg.matches()}});
    }
    json lost = json::array();
    for (const PciLocation &l : resume->lost) {
      lost.push_back(location(l));
    }
    json unrestored = json::array();
    for (const UnrestoredRegister &reg : resume->unrestored) {
      unrestored.push_back({{"function", location(reg.location)},
                            {"offset", hex(reg.offset)},
                            {"before_sleep", hex(reg.beforeSleep)},
                            {"after_resume", hex(reg.afterResume)}});
    }
    report["resume"] = {
        {"replayed", resume->replayed}, {"note", resume->note},     {"lost", lost},
        {"registers", registers},       {"unrestored", unrestored}, {"mismatches", resume->mismatches()}};
  } else {
    report["resume"] = nullptr;
  }
  return report;
}

} // namespace sim
