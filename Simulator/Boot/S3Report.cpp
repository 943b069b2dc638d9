// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "S3Report.h"
#include "Report.h"

#include <fmt/format.h>

namespace sim {

namespace {

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

std::string location(const PciLocation &l) {
  return fmt::format("{:02X}:{:02X}.{:X}", l.bus, l.device, l.function);
}

// A block a hand-off named, with its size and owner and whether the boot
// freed it: "pool[1]+0x0 (16388 bytes, KeshInitDxe, freed)".
std::string blockText(const std::optional<MemoryRef> &ref) {
  if (!ref) {
    return "?";
  }
  switch (ref->kind) {
  case MemoryRef::Kind::Pool:
  case MemoryRef::Kind::FreedPool:
    return fmt::format("pool[{}]+0x{:X} ({} bytes, {}{})", ref->index, ref->offset, ref->size, ref->owner,
                       ref->kind == MemoryRef::Kind::FreedPool ? ", freed" : "");
  default:
    return memoryRefName(*ref);
  }
}

// The private-data address (bytes 32-39) differs from run to run: it is
// shown by name, the bytes before it as they are.
std::string messageText(const SmmCallRecord &call, const std::string &indent) {
  size_t fixed = std::min<size_t>(call.message.size(), 32);
  std::string out = hexBytes(std::span<const uint8_t>(call.message.data(), fixed), indent);
  if (call.message.size() >= 40) {
    out += fmt::format("{}+ 8-byte private data address: {}\n", indent, blockText(call.privateDataBlock));
  }
  if (call.message.size() > 40) {
    out += hexBytes(std::span<const uint8_t>(call.message.data() + 40, call.message.size() - 40), indent);
  }
  return out;
}

std::string tableBaseText(const S3LibraryRecord &library) {
  if (!library.data || library.data->tableBase == 0) {
    return "0x0";
  }
  return library.table ? poolRefName(*library.table) : "freed";
}

nlohmann::json tableBase(const S3LibraryRecord &library) {
  if (!library.data || library.data->tableBase == 0) {
    return nullptr;
  }
  return tableBaseText(library);
}

nlohmann::json blockJson(const std::optional<MemoryRef> &ref) {
  if (!ref || (ref->kind != MemoryRef::Kind::Pool && ref->kind != MemoryRef::Kind::FreedPool)) {
    return nullptr;
  }
  return {{"pool", ref->index},
          {"offset", ref->offset},
          {"size", ref->size},
          {"owner", ref->owner},
          {"freed", ref->kind == MemoryRef::Kind::FreedPool}};
}

std::string withoutNewline(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

} // namespace

std::string hexBytes(std::span<const uint8_t> bytes, const std::string &indent) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i++) {
    out += i % 16 == 0 ? (i == 0 ? indent : "\n" + indent) : " ";
    out += fmt::format("{:02X}", bytes[i]);
  }
  return out + "\n";
}

std::string s3TableHeaderText(const S3TableDecode &table, const std::string &indent) {
  return fmt::format("{}signature 0x{:08X}  version {}  TableLength 0x{:X}  NextOffset 0x{:X}  terminator "
                     "{}  end marker {}  {} entries\n",
                     indent, table.signature, table.version, table.tableLength, table.nextOffset,
                     table.terminated ? "yes" : "no", table.endMarker ? "yes" : "no",
                     table.entries.empty() ? table.entryCount : table.entries.size());
}

std::string s3TableProblemsText(const S3TableDecode &table, const std::string &indent) {
  std::string out;
  for (const std::string &problem : table.problems) {
    out += indent + "  PROBLEM: " + problem + "\n";
  }
  return out;
}

std::string s3TableText(const S3TableDecode &table, const std::string &indent) {
  std::string out = s3TableHeaderText(table, indent);
  for (const S3TableEntry &entry : table.entries) {
    out += indent + "  " + describeS3Entry(entry) + "\n";
  }
  return out + s3TableProblemsText(table, indent);
}

nlohmann::json s3EntryJson(const S3TableEntry &entry) {
  nlohmann::json e = {{"offset", hex(entry.offset)},
                      {"type", entry.type},
                      {"type_name", s3EntryTypeName(entry.type)},
                      {"size", entry.size}};
  nlohmann::json arguments = nlohmann::json::array();
  for (uint64_t argument : entry.arguments) {
    arguments.push_back(hex(argument));
  }
  e["arguments"] = arguments;
  e["width_bits"] = nullptr;
  e["address"] = nullptr;
  e["value"] = nullptr;
  e["register"] = nullptr;
  if (entry.type == kS3MemWriteEntry) {
    e["width_bits"] = entry.widthBytes() * 8;
    e["address"] = hex(entry.arguments[1]);
    e["value"] = hex(entry.arguments[2]);
    if (entry.configRegister) {
      e["register"] = {{"function", location(entry.configRegister->location)},
                       {"offset", hex(entry.configRegister->offset)}};
    }
  }
  return e;
}

nlohmann::json s3TableJson(const S3TableDecode &table) {
  nlohmann::json entries = nlohmann::json::array();
  for (const S3TableEntry &entry : table.entries) {
    entries.push_back(s3EntryJson(entry));
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

// Written out rather than built as a tree and dumped: a table has millions
// of entries, and the tree of each costs a hundred times its text. The keys
// in nlohmann's order (sorted), the layout of dump(2).
std::string s3EntryJsonText(const S3TableEntry &entry, const std::string &indent) {
  const std::string in = indent + "  ";
  bool write = entry.type == kS3MemWriteEntry && entry.arguments.size() >= 3;
  auto quoted = [](const std::string &text) { return "\"" + text + "\""; };
  std::string out = indent + "{\n";
  auto field = [&](const char *key, const std::string &value, bool last = false) {
    out += fmt::format("{}\"{}\": {}{}", in, key, value, last ? "\n" : ",\n");
  };
  field("address", write ? quoted(hex(entry.arguments[1])) : "null");
  std::string arguments = "[]";
  if (!entry.arguments.empty()) {
    arguments = "[\n";
    for (size_t i = 0; i < entry.arguments.size(); i++) {
      arguments +=
          in + "  " + quoted(hex(entry.arguments[i])) + (i + 1 < entry.arguments.size() ? ",\n" : "\n");
    }
    arguments += in + "]";
  }
  field("arguments", arguments);
  field("offset", quoted(hex(entry.offset)));
  std::string where = "null";
  if (write && entry.configRegister) {
    where = fmt::format("{{\n{0}  \"function\": \"{1}\",\n{0}  \"offset\": \"{2}\"\n{0}}}", in,
                        location(entry.configRegister->location), hex(entry.configRegister->offset));
  }
  field("register", where);
  field("size", std::to_string(entry.size));
  field("type", std::to_string(entry.type));
  field("type_name", quoted(s3EntryTypeName(entry.type)));
  field("value", write ? quoted(hex(entry.arguments[2])) : "null");
  field("width_bits", write ? std::to_string(entry.widthBytes() * 8) : "null", true);
  return out + indent + "}";
}

std::pair<std::string, std::string> s3TableJsonAround(nlohmann::json report) {
  report["entries"] = nullptr;
  std::string text = report.dump(2);
  // A line break inside a string is escaped: this is the top-level key.
  static constexpr std::string_view kMarker = "\n  \"entries\": null";
  size_t at = text.find(kMarker);
  if (at == std::string::npos) {
    throw std::logic_error("a table's JSON without its entries key");
  }
  size_t value = at + kMarker.size() - 4;
  return {text.substr(0, value), text.substr(value + 4)};
}

std::string s3TextSummary(const S3Record &s3) {
  std::string out;
  auto line = [&out](const std::string &text) {
    out += text;
    out += '\n';
  };

  if (s3.window) {
    line(fmt::format("-- PCI configuration window: {} +{} MiB ({} buses)", hex(s3.window->base),
                     s3.window->size >> 20, s3.window->buses));
  } else {
    line("-- PCI configuration window: disabled (MSR 0xC0010058 bit 0 clear)");
  }

  const S3LibraryRecord &library = s3.library;
  std::string state = s3LibraryStateName(library.state);
  std::replace(state.begin(), state.end(), '-', ' ');
  line(fmt::format("-- S3 save library: {}", state));
  if (library.data) {
    line(fmt::format("  private data {} (PCD 214): BootScriptLocked {}  TableClosed {}  TableBase {}",
                     library.privateData ? poolRefName(*library.privateData) : "?",
                     library.data->bootScriptLocked, library.data->tableClosed, tableBaseText(library)));
  }
  if (library.liveTable) {
    line("  table still in memory (not handed off):");
    out += s3TableText(*library.liveTable, "    ");
  }

  if (s3.debugPrintInstalled) {
    size_t printed = 0;
    for (const DebugPrintLine &entry : s3.debugPrintLines) {
      printed += entry.printed ? 1 : 0;
    }
    line(fmt::format("-- debug-print service: {} lines, {} printed (filters {})", s3.debugPrintLines.size(),
                     printed, hex(s3.debugPrintFilters)));
    for (const DebugPrintLine &entry : s3.debugPrintLines) {
      line(fmt::format("  [{}] {}{}", hex(entry.filter), withoutNewline(entry.text),
                       entry.printed ? "" : "  (dropped)"));
    }
  } else {
    line("-- debug-print service: not installed");
  }

  if (s3.smmInstalled) {
    line(fmt::format("-- SMM Communication: {} calls", s3.smmCalls.size()));
    for (size_t i = 0; i < s3.smmCalls.size(); i++) {
      const SmmCallRecord &call = s3.smmCalls[i];
      line(fmt::format("  call {}: buffer {}, CommSize {} -> {}{}", i + 1, memoryRefName(call.buffer),
                       call.commSize ? std::to_string(*call.commSize) : "NULL", statusName(call.status),
                       call.accepted ? ", accepted" : ", refused: " + call.reason));
      if (!call.message.empty()) {
        line(fmt::format("  message ({} bytes):", call.message.size()));
        out += messageText(call, "    ");
      }
      if (call.privateData) {
        line(fmt::format("  private data {}: BootScriptLocked {}  TableClosed {}  TableBase {}",
                         blockText(call.privateDataBlock), call.privateData->bootScriptLocked,
                         call.privateData->tableClosed, blockText(call.tableBlock)));
      }
      if (call.table) {
        line("  table as handed off:");
        out += s3TableText(*call.table, "    ");
      }
    }
  } else {
    line("-- SMM Communication: not installed");
  }

  if (s3.resume) {
    const S3ResumeResult &resume = *s3.resume;
    line(fmt::format("-- S3 resume: {} entries replayed, {} registers compared, {} mismatches",
                     resume.replayed, resume.registers.size(), resume.mismatches()));
    if (!resume.note.empty()) {
      line("  " + resume.note);
    }
    std::string lost;
    for (const PciLocation &l : resume.lost) {
      lost += " " + location(l);
    }
    line("  state lost:" + (lost.empty() ? std::string(" nothing") : lost));
    for (const ReplayedRegister &reg : resume.registers) {
      auto value = [&reg](const std::optional<uint64_t> &v) {
        return v ? fmt::format("0x{:0{}X}", *v, reg.width * 2) : std::string("unreachable");
      };
      line(fmt::format("  0x{:016X} {:>2}-bit {:<14} Ready to Boot {}  after resume {}  {}", reg.address,
                       reg.width * 8,
                       reg.reg ? fmt::format("{}+0x{:03X}", location(reg.reg->location), reg.reg->offset)
                               : "outside window",
                       value(reg.beforeSleep), value(reg.afterResume), reg.matches() ? "equal" : "MISMATCH"));
    }
    for (const UnrestoredRegister &reg : resume.unrestored) {
      line(fmt::format("  NOT RESTORED {}+0x{:03X}: 0x{:08X} at Ready to Boot, 0x{:08X} after resume",
                       location(reg.location), reg.offset, reg.beforeSleep, reg.afterResume));
    }
  }
  return out;
}

nlohmann::json s3JsonReport(const S3Record &s3) {
  using nlohmann::json;
  json report;
  report["window"] =
      s3.window
          ? json{{"base", hex(s3.window->base)}, {"size", hex(s3.window->size)}, {"buses", s3.window->buses}}
          : json(nullptr);
  const S3LibraryRecord &library = s3.library;
  json data = json(nullptr);
  if (library.data) {
    data = {{"boot_script_locked", library.data->bootScriptLocked},
            {"table_closed", library.data->tableClosed},
            {"table_base", tableBase(library)}};
  }
  report["library"] = {
      {"state", s3LibraryStateName(library.state)},
      {"private_data", library.privateData ? json(poolRefName(*library.privateData)) : json(nullptr)},
      {"boot_script_locked", library.data ? json(library.data->bootScriptLocked) : json(nullptr)},
      {"table_closed", library.data ? json(library.data->tableClosed) : json(nullptr)},
      {"table_base", tableBase(library)},
      {"live_table", library.liveTable ? s3TableJson(*library.liveTable) : json(nullptr)}};
  if (s3.debugPrintInstalled) {
    json lines = json::array();
    for (const DebugPrintLine &entry : s3.debugPrintLines) {
      lines.push_back({{"filter", hex(entry.filter)}, {"text", entry.text}, {"printed", entry.printed}});
    }
    report["debug_print"] = {{"filters", hex(s3.debugPrintFilters)}, {"lines", lines}};
  } else {
    report["debug_print"] = nullptr;
  }
  if (s3.smmInstalled) {
    json calls = json::array();
    for (const SmmCallRecord &call : s3.smmCalls) {
      std::string message;
      for (size_t i = 0; i < call.message.size(); i++) {
        // The private-data address is given by name below.
        message += i >= 32 && i < 40 ? std::string("..") : fmt::format("{:02X}", call.message[i]);
      }
      json c = {{"buffer", memoryRefName(call.buffer)},
                {"comm_size", call.commSize ? json(*call.commSize) : json(nullptr)},
                {"status", statusName(call.status)},
                {"injected", call.injected},
                {"accepted", call.accepted},
                {"reason", call.reason.empty() ? json(nullptr) : json(call.reason)},
                {"message", message},
                {"private_data", nullptr},
                {"table", call.table ? s3TableJson(*call.table) : json(nullptr)}};
      if (call.privateData) {
        c["private_data"] = {{"address", blockText(call.privateDataBlock)},
                             {"boot_script_locked", call.privateData->bootScriptLocked},
                             {"table_closed", call.privateData->tableClosed},
                             {"table_base", blockText(call.tableBlock)},
                             {"table_block", blockJson(call.tableBlock)}};
      }
      calls.push_back(c);
    }
    report["smm_communication"] = {{"calls", calls}};
  } else {
    report["smm_communication"] = nullptr;
  }
  if (s3.resume) {
    const S3ResumeResult &resume = *s3.resume;
    json registers = json::array();
    for (const ReplayedRegister &reg : resume.registers) {
      registers.push_back({{"address", hex(reg.address)},
                           {"width_bits", reg.width * 8},
                           {"register", reg.reg ? json({{"function", location(reg.reg->location)},
                                                        {"offset", hex(reg.reg->offset)}})
                                                : json(nullptr)},
                           {"before_sleep", reg.beforeSleep ? json(hex(*reg.beforeSleep)) : json(nullptr)},
                           {"after_resume", reg.afterResume ? json(hex(*reg.afterResume)) : json(nullptr)},
                           {"equal", reg.matches()}});
    }
    json lost = json::array();
    for (const PciLocation &l : resume.lost) {
      lost.push_back(location(l));
    }
    json unrestored = json::array();
    for (const UnrestoredRegister &reg : resume.unrestored) {
      unrestored.push_back({{"function", location(reg.location)},
                            {"offset", hex(reg.offset)},
                            {"before_sleep", hex(reg.beforeSleep)},
                            {"after_resume", hex(reg.afterResume)}});
    }
    report["resume"] = {{"replayed", resume.replayed},
                        {"note", resume.note.empty() ? json(nullptr) : json(resume.note)},
                        {"lost", lost},
                        {"registers", registers},
                        {"unrestored", unrestored},
                        {"mismatches", resume.mismatches()}};
  } else {
    report["resume"] = nullptr;
  }
  return report;
}

} // namespace sim
