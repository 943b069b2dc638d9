// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Record.h"
#include "Checks.h"
#include "PolicyModel.h"
#include "Report.h"

#include <Guid/EventGroup.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace sim {

namespace {

std::string eventTypeName(UINT32 type) {
  switch (type) {
  case EVT_NOTIFY_SIGNAL:
    return "notify-signal";
  case EVT_NOTIFY_WAIT:
    return "notify-wait";
  case EVT_SIGNAL_EXIT_BOOT_SERVICES:
    return "exit-boot-services";
  default:
    return fmt::format("0x{:08X}", type);
  }
}

const char *gcdTypeName(EFI_GCD_MEMORY_TYPE type) {
  switch (type) {
  case EfiGcdMemoryTypeNonExistent:
    return "non-existent";
  case EfiGcdMemoryTypeReserved:
    return "reserved";
  case EfiGcdMemoryTypeSystemMemory:
    return "system-memory";
  case EfiGcdMemoryTypeMemoryMappedIo:
    return "mmio";
  case EfiGcdMemoryTypePersistent:
    return "persistent";
  case EfiGcdMemoryTypeMoreReliable:
    return "more-reliable";
  default:
    return "unknown";
  }
}

std::string memoryTypeName(EFI_MEMORY_TYPE type) {
  static const char *const kNames[] = {"EfiReservedMemoryType",
                                       "EfiLoaderCode",
                                       "EfiLoaderData",
                                       "EfiBootServicesCode",
                                       "EfiBootServicesData",
                                       "EfiRuntimeServicesCode",
                                       "EfiRuntimeServicesData",
                                       "EfiConventionalMemory",
                                       "EfiUnusableMemory",
                                       "EfiACPIReclaimMemory",
                                       "EfiACPIMemoryNVS",
                                       "EfiMemoryMappedIO",
                                       "EfiMemoryMappedIOPortSpace",
                                       "EfiPalCode",
                                       "EfiPersistentMemory"};
  auto index = static_cast<size_t>(type);
  return index < std::size(kNames) ? kNames[index] : fmt::format("0x{:X}", index);
}

// "pool[2]+0x10": the block of live pool that holds this address, by its
// position among the blocks in use (host addresses differ from run to run).
std::optional<std::string> poolReference(const std::vector<PoolBlock> &pool, uint64_t address) {
  for (size_t i = 0; i < pool.size(); i++) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pool[i].address));
    if (address >= first && address < first + std::max<uint64_t>(pool[i].size, 1)) {
      return fmt::format("pool[{}]+0x{:X}", i, address - first);
    }
  }
  return std::nullopt;
}

bool liveRange(const std::vector<PoolBlock> &pool, uint64_t address, uint64_t size) {
  for (const PoolBlock &block : pool) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block.address));
    if (address != 0 && address >= first && size <= block.size && address - first <= block.size - size) {
      return true;
    }
  }
  return false;
}

const std::pair<uint8_t, const char *> kWritingOpcodes[] = {
    {0x01, "write status"}, {0x06, "write enable"}, {0x02, "page program"}, {0x20, "sector erase"},
    {0xD8, "block erase"},  {0xC7, "chip erase"},   {0x60, "chip erase"}};

SpiRecord spiRecord(Simulation &simulation, const SpiController &spi) {
  SpiRecord out;
  out.base = simulation.spiBase();
  out.before = simulation.spiAtReset();
  out.after = spi.registers();
  out.protect = (out.after.reg1D & 0x08) != 0;
  out.lock = (out.after.reg1D & 0x20) != 0;
  out.writeBufferEnabled = (out.after.reg1D & 0x04) != 0;
  out.spiControlBit22 = (out.after.control & 0x00400000) != 0;
  for (const auto &[opcode, name] : kWritingOpcodes) {
    bool restricted = false;
    for (uint32_t word : {out.after.restrictedCmd, out.after.restrictedCmd2}) {
      for (unsigned lane = 0; lane < 4; lane++) {
        restricted |= ((word >> (8 * lane)) & 0xFF) == opcode;
      }
    }
    out.opcodes.push_back(SpiOpcode{opcode, name, restricted});
  }
  const auto &trace = simulation.machine().trace();
  for (size_t i = 0; i < trace.size(); i++) {
    const TraceEntry &e = trace[i];
    if (e.kind == AccessKind::MmioWrite && e.address == out.base + 0x1D && (e.value & 0x08) != 0) {
      out.armedAt = i;
      break;
    }
  }
  auto consider = [&out](std::optional<size_t> at, const char *by) {
    if (at && (!out.firstPortOffAt || *at < *out.firstPortOffAt)) {
      out.firstPortOffAt = at;
      out.firstPortOffBy = by;
    }
  };
  if (const UsbPortControlModel *usb = simulation.usbPortControl()) {
    for (const PortMaskCall &call : usb->calls()) {
      if ((call.mask & call.value) != 0) {
        consider(call.traceIndex, "SetPortMask");
        break;
      }
    }
  }
  if (const Mc5744Model *hub = simulation.mc5744()) {
    consider(hub->firstPortOffAt(), "MC5744 ApplyConfig");
  }
  // A SATA port goes off with the write that sets its bit in a die's
  // port-disable register, through the index/data pair at 0xB8/0xBC.
  for (size_t i = 0; i < trace.size(); i++) {
    const TraceEntry &e = trace[i];
    if (e.kind == AccessKind::IoWrite && e.address == 0xCFC && e.width == 4 && (e.value & 0x00FF0000) != 0 &&
        i >= 2 && trace[i - 1].kind == AccessKind::IoWrite && trace[i - 1].address == 0xCF8 &&
        (trace[i - 1].value & 0xFC) == 0xBC) {
      consider(i, "SATA port-disable write");
      break;
    }
  }
  return out;
}

ConsoleRecord consoleRecord(const Simulation &simulation) {
  ConsoleRecord out;
  const Uart16550 *uarts[] = {&simulation.console(), &simulation.secondConsole()};
  for (unsigned i = 0; i < 2; i++) {
    const Uart16550 &uart = *uarts[i];
    UartRecord &r = out.uarts[i];
    r.base = uart.base();
    r.present = uart.config().present;
    r.bytes = uart.bytes();
    r.written = simulation.consoleTap().written(uart.base());
    r.pending = uart.pending();
    r.lost = uart.lost();
    r.runs = uart.runs();
    for (const SentRun &run : r.runs) {
      r.lineNs += run.count * run.settings.characterNs();
    }
    r.accesses = uart.accesses();
    r.accessNs = uart.accessNs();
  }
  const std::string &a = out.uarts[0].bytes;
  const std::string &b = out.uarts[1].bytes;
  out.identical = a == b;
  if (!out.identical) {
    auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    out.firstDifference = static_cast<size_t>(mismatch.first - a.begin());
  }
  // With the same bytes, the same settings at the same bytes; otherwise the
  // same succession of settings.
  auto settingsOf = [&out](const UartRecord &uart) {
    std::vector<std::tuple<LineSettings, size_t, size_t>> settings;
    for (const SentRun &run : uart.runs) {
      settings.emplace_back(run.settings, out.identical ? run.first : 0, out.identical ? run.count : 0);
    }
    return settings;
  };
  out.sameSettings = settingsOf(out.uarts[0]) == settingsOf(out.uarts[1]);
  out.lineRateBoundNs = std::max(out.uarts[0].lineNs, out.uarts[1].lineNs);
  out.accesses = out.uarts[0].accesses + out.uarts[1].accesses;
  out.consoleNs = out.uarts[0].accessNs + out.uarts[1].accessNs;
  return out;
}

S3Record s3Record(Simulation &simulation, const std::vector<PoolBlock> &pool) {
  S3Record out;
  const S3Platform &s3 = simulation.s3();
  if (const PciMmioWindow *window = s3.window()) {
    out.window = S3Record::Window{window->base(), window->size(), window->buses()};
  }
  S3LibraryRecord &library = out.library;
  DxeCore &core = simulation.core();
  auto token = core.pcdTokens().find(kPcdS3SavePrivateData);
  uint64_t address = token == core.pcdTokens().end() ? 0 : token->second.value;
  if (address == 0) {
    library.state = "no-private-data";
  } else if (!liveRange(pool, address, 16)) {
    library.state = "private-data-not-pool";
  } else {
    library.privateData = poolReference(pool, address);
    const auto *bytes = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(address));
    S3PrivateData data;
    data.address = address;
    data.bootScriptLocked = bytes[0];
    data.tableClosed = bytes[1];
    std::memcpy(&data.tableBase, bytes + 8, 8);
    library.data = data;
    library.state = data.tableClosed != 0        ? "closed"
                    : data.bootScriptLocked != 0 ? "recording"
                                                 : "before-ready-to-lock";
    if (data.tableBase != 0) {
      library.tableBase = poolReference(pool, data.tableBase).value_or("freed");
    }
    if (data.tableBase != 0 && liveRange(pool, data.tableBase, kS3TableHeaderSize)) {
      const auto *table = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(data.tableBase));
      uint64_t length = 0;
      std::memcpy(&length, table + 0x20, 8);
      size_t size = length < (uint64_t{1} << 30) && liveRange(pool, data.tableBase, length + 4)
                        ? static_cast<size_t>(length + 4)
                        : kS3TableHeaderSize;
      library.liveTable = decodeS3Table(std::span<const uint8_t>(table, size), false);
      if (out.window) {
        locateConfigRegisters(*library.liveTable, out.window->base, out.window->buses);
      }
    }
  }
  if (const DebugPrintServiceModel *service = s3.debugPrint()) {
    out.debugPrintInstalled = true;
    out.debugPrintFilters = service->enabledFilters();
    out.debugPrintLines = service->lines();
  }
  if (const SmmCommunicationModel *smm = s3.smmCommunication()) {
    out.smmInstalled = true;
    for (const SmmCommunicateCall &call : smm->calls()) {
      SmmCallRecord r;
      r.buffer = call.bufferName;
      r.commSize = call.commSize;
      r.status = statusName(call.status);
      r.accepted = call.accepted;
      r.reason = call.reason;
      r.message = call.message;
      // "pool[1]+0x0 (16388 bytes, S3ClientDxe)": the reference, its
      // explanation left to the pool list.
      r.privateDataName = call.privateDataName.substr(0, call.privateDataName.find(" ("));
      r.tableName = call.tableName.substr(0, call.tableName.find(" ("));
      r.privateData = call.privateData;
      if (!call.table.empty()) {
        r.table = call.decoded;
        if (out.window) {
          locateConfigRegisters(*r.table, out.window->base, out.window->buses);
        }
        r.tableBytes = call.table;
      }
      out.smmCalls.push_back(std::move(r));
    }
  }
  if (const auto &resume = s3.resumeResult()) {
    out.resume = *resume;
  }
  return out;
}

} // namespace

size_t BootRecord::unexpectedFailures() const {
  return static_cast<size_t>(std::count_if(checks.begin(), checks.end(), [](const CheckResult &check) {
    return check.expected ? *check.expected != check.verdict && check.verdict != "warn"
                          : check.verdict == "fail";
  }));
}

size_t BootRecord::unexpectedWarnings() const {
  return static_cast<size_t>(std::count_if(checks.begin(), checks.end(), [](const CheckResult &check) {
    return check.verdict == "warn" && check.expected != std::optional<std::string>("warn");
  }));
}

BootRecord recordBoot(Simulation &simulation) {
  BootRecord r;
  const Board &board = simulation.board();
  const BootOutcome &outcome = simulation.outcome();
  DxeCore &core = simulation.core();
  Machine &machine = simulation.machine();
  std::vector<PoolBlock> pool = core.poolInUse();

  r.boardName = board.name;
  r.boardSource = board.source;
  r.completed = outcome.completed;
  if (outcome.halt) {
    r.haltReason = haltReasonName(outcome.halt->reason);
    r.haltDetail = outcome.halt->detail;
  }
  if (outcome.entryStatus) {
    r.entryStatus = statusName(*outcome.entryStatus);
  }
  r.virtualTimeNs = machine.nowNs();
  for (const StepRecord &step : outcome.steps) {
    r.timeline.push_back(RecordedStep{stepName(step.step), step.startNs, step.note});
    bool ran = step.note.rfind("halted", 0) != 0;
    r.endOfDxeSignalled |= step.step == Step::EndOfDxe && ran;
    r.readyToBootSignals += step.step == Step::ReadyToBoot && ran ? 1 : 0;
  }

  // Each place code ran, named once: events, assertions and the trace read these.
  r.codeNames.push_back("");
  for (size_t i = 1; i <= core.codeContexts().size(); i++) {
    r.codeNames.push_back(simulation.codeName(static_cast<uint32_t>(i)));
  }
  for (const EventInfo &event : core.events()) {
    if (event.owner == "DxeCore") {
      continue;
    }
    RecordedEvent e;
    e.type = eventTypeName(event.type);
    e.tpl = tplName(event.notifyTpl);
    if (event.group) {
      e.group = guidDisplayName(*event.group);
      e.subject = "group " + *e.group;
    } else if (event.notifyProtocol) {
      e.notifyProtocol = guidDisplayName(*event.notifyProtocol);
      e.subject = "protocol notify " + *e.notifyProtocol;
    } else if (event.type == EVT_SIGNAL_EXIT_BOOT_SERVICES) {
      e.group = "Exit Boot Services";
      e.subject = "group Exit Boot Services";
    } else {
      e.subject = "no group";
    }
    e.owner = event.owner;
    const auto &contexts = core.codeContexts();
    for (size_t i = 0; i < contexts.size(); i++) {
      const CodeContext &code = contexts[i];
      if (code.function == reinterpret_cast<const void *>(event.notify) && code.image == event.owner) {
        const std::string &name = r.codeNames[i + 1];
        e.notifyFunction = name.size() > code.image.size() ? name.substr(code.image.size() + 1) : "";
      }
    }
    e.signals = event.signals;
    e.notifies = event.notifies;
    e.closed = event.closed;
    r.events.push_back(std::move(e));
  }

  r.gcd = core.gcdMap();
  for (const GcdRange &after : r.gcd) {
    for (const GcdRange &before : simulation.gcdAtStart()) {
      if (after.base >= before.base && after.base - before.base < before.length) {
        if (before.attributes != after.attributes || before.image != after.image ||
            before.type != after.type) {
          r.mapChanges.push_back(MapChange{after.base, after.length, gcdTypeName(after.type),
                                           before.attributes, after.attributes,
                                           simulation.imageName(after.image)});
        }
        break;
      }
    }
  }

  if (const SpiController *spi = simulation.spi()) {
    r.spi = spiRecord(simulation, *spi);
  }
  if (const UsbPortControlModel *usb = simulation.usbPortControl()) {
    r.usbPortControlInstalled = true;
    r.portMaskCalls = usb->calls();
    r.portGroupsOff = usb->switchedOff();
  }
  if (const Mc5744Model *hub = simulation.mc5744()) {
    r.mc5744Installed = true;
    r.hubCalls = hub->calls();
    r.hubEnables = hub->applied();
  }
  for (const auto &[number, die] : simulation.dies()) {
    DieRecord d;
    d.die = number;
    for (const BoardDie &boardDie : board.dies) {
      if (boardDie.number == number) {
        d.bus = boardDie.bus;
      }
    }
    d.portDisable = die->indirect(DieRoot::kSataPortDisable);
    for (unsigned port = 0; port < 8; port++) {
      if ((d.portDisable & (0x10000u << port)) != 0) {
        d.disabledPorts.push_back(port);
      }
    }
    r.dies.push_back(std::move(d));
  }
  for (const PcdWrite &write : core.pcdWrites()) {
    r.pcdWrites.push_back(PcdWriteRecord{write.token, write.size, write.value,
                                         write.value == 0 ? std::nullopt : poolReference(pool, write.value),
                                         statusName(write.status), write.owner});
  }
  for (uint64_t token = 228; token <= 236; token++) {
    auto found = core.pcdTokens().find(token);
    auto atStart = board.pcd.find(token);
    uint64_t start = atStart == board.pcd.end() ? 0 : atStart->second.value;
    if (found != core.pcdTokens().end() && found->second.value != start) {
      r.pcdAfter[token] = found->second.value;
    }
  }
  if (const NvramAttributeModel *nvram = simulation.nvram()) {
    r.nvramInstalled = true;
    for (const AttributeRead &read : nvram->reads()) {
      r.nvramReads.push_back(NvramReadRecord{std::string(read.name.begin(), read.name.end()),
                                             statusName(read.status), read.problem});
    }
  }

  r.s3 = s3Record(simulation, pool);
  r.console = consoleRecord(simulation);

  for (const ConsoleTap::Trap &trap : simulation.consoleTap().traps()) {
    AssertionRecord a;
    a.file = trap.file.value_or("");
    a.line = trap.line;
    a.expression = trap.expression.value_or("");
    a.breakpoint = trap.breakpoint;
    a.traceIndex = trap.traceIndex;
    a.code =
        trap.context < r.codeNames.size() ? r.codeNames[trap.context] : simulation.codeName(trap.context);
    a.reportWritten = trap.file.has_value();
    r.assertions.push_back(std::move(a));
  }
  r.breakpoints = machine.breakpointCount();
  for (const auto &stop : simulation.postCodes().fatalStops()) {
    r.fatalStops.push_back(FatalStopRecord{stop.code, stop.windows, stop.halted});
  }
  r.postCodes = simulation.postCodes().history();

  uint64_t privateData = r.s3.library.data ? r.s3.library.data->address : 0;
  uint64_t tableBase = r.s3.library.data ? r.s3.library.data->tableBase : 0;
  for (size_t i = 0; i < pool.size(); i++) {
    const PoolBlock &block = pool[i];
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block.address));
    r.pool.push_back(PoolRecord{block.size, memoryTypeName(block.type), block.owner,
                                fmt::format("pool[{}]", i), first == privateData,
                                tableBase != 0 && first == tableBase});
  }

  for (const FailureHit &hit : core.failures().hits()) {
    r.injected.push_back(
        hit.guid ? fmt::format("{} call {} (about {}) -> {}", hit.service, hit.call,
                               guidDisplayName(*hit.guid), statusName(hit.status))
                 : fmt::format("{} call {} -> {}", hit.service, hit.call, statusName(hit.status)));
  }
  for (const FailureRule &rule : board.failures) {
    FailureRuleRecord f;
    f.service = rule.service;
    f.call = rule.call;
    f.status = statusName(rule.status);
    if (rule.guid) {
      f.guid = guidDisplayName(*rule.guid);
    }
    r.failureRules.push_back(std::move(f));
  }
  for (const FailureHit &hit : core.failures().hits()) {
    if (hit.rule < r.failureRules.size()) {
      r.failureRules[hit.rule].hits++;
    }
  }
  r.diagnostics = core.diagnostics();

  r.actualPolicy = actualPolicy(board, r);
  r.expectedPolicy = expectedPolicy(board, r, &r.policyNote);
  r.checks = runChecks(r, board);
  return r;
}

} // namespace sim
