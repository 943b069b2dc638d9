// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Record.h"
#include "Boot.h"
#include "Checks.h"
#include "NearMisses.h"
#include "PolicyModel.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>

namespace sim {

const GcdRange *rangeHolding(const std::vector<GcdRange> &map, uint64_t address) {
  for (const GcdRange &range : map) {
    if (address >= range.base && address - range.base < range.length) {
      return &range;
    }
  }
  return nullptr;
}

namespace {

constexpr uint64_t kPageMask = 0xFFF;
constexpr uint32_t kSpiControlBit22 = 0x00400000;
constexpr uint16_t kDieBusRegister = 0x84;
constexpr uint8_t kDies = 8;

// The seven opcodes that write or erase flash.
constexpr uint8_t kWritingOpcodes[] = {0x01, 0x06, 0x02, 0x20, 0xD8, 0xC7, 0x60};

std::optional<PoolRef> poolRef(const std::vector<PoolBlock> &pool, uint64_t address) {
  for (size_t i = 0; i < pool.size(); i++) {
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pool[i].address));
    if (address >= first && address < first + std::max<uint64_t>(pool[i].size, 1)) {
      return PoolRef{i, address - first};
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

void recordOutcome(BootRecord &r, Simulation &simulation) {
  const Board &board = simulation.board();
  const BootOutcome &outcome = simulation.outcome();
  r.boardName = board.name;
  r.boardSource = board.source;
  r.completed = outcome.completed;
  r.expectedHalt = board.expectedHalt;
  if (outcome.halt) {
    r.haltReason = outcome.halt->reason;
    r.haltDetail = outcome.halt->detail;
  }
  r.entryStatus = outcome.entryStatus;
  for (const StepRecord &step : outcome.steps) {
    bool ran = step.note.rfind("halted", 0) != 0;
    r.timeline.push_back(RecordedStep{step.step, step.startNs, step.note, ran});
    r.endOfDxeSignalled |= step.step == Step::EndOfDxe && ran;
    r.readyToBootSignals += step.step == Step::ReadyToBoot && ran ? 1 : 0;
  }
}

void recordCodeNames(BootRecord &r, Simulation &simulation) {
  r.codeNames.push_back("");
  for (size_t i = 1; i <= simulation.core().codeContexts().size(); i++) {
    r.codeNames.push_back(simulation.codeName(static_cast<uint32_t>(i)));
  }
}

EventKind eventKind(UINT32 type) {
  switch (type) {
  case EVT_NOTIFY_SIGNAL:
    return EventKind::NotifySignal;
  case EVT_NOTIFY_WAIT:
    return EventKind::NotifyWait;
  case EVT_SIGNAL_EXIT_BOOT_SERVICES:
    return EventKind::ExitBootServices;
  default:
    return EventKind::Other;
  }
}

void recordEvents(BootRecord &r, Simulation &simulation) {
  DxeCore &core = simulation.core();
  const auto &contexts = core.codeContexts();
  for (const EventInfo &event : core.events()) {
    if (event.owner == "DxeCore") {
      continue;
    }
    RecordedEvent e;
    e.kind = eventKind(event.type);
    e.type = event.type;
    e.tpl = event.notifyTpl;
    e.group = event.group;
    e.notifyProtocol = event.notifyProtocol;
    e.owner = event.owner;
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
}

void recordMemoryMap(BootRecord &r, Simulation &simulation) {
  r.gcdAtStart = simulation.gcdAtStart();
  r.gcd = simulation.core().gcdMap();
  for (const GcdRange &after : r.gcd) {
    if (const GcdRange *before = rangeHolding(r.gcdAtStart, after.base)) {
      if (before->attributes != after.attributes || before->image != after.image ||
          before->type != after.type) {
        r.mapChanges.push_back(MapChange{after.base, after.length, after.type, before->attributes,
                                         after.attributes, simulation.imageName(after.image)});
      }
    }
  }
}

void recordSpi(BootRecord &r, Simulation &simulation, const SpiController &spi, const Machine &machine) {
  SpiRecord out;
  out.base = simulation.spiBase();
  out.before = simulation.spiAtReset();
  out.after = spi.registers();
  out.protect = spi.protect();
  out.lock = spi.locked();
  out.writeBufferEnabled = spi.writeBufferEnabled();
  out.spiControlBit22 = (spi.spiControl() & kSpiControlBit22) != 0;
  for (uint8_t opcode : kWritingOpcodes) {
    bool restricted = false;
    for (uint32_t word : {spi.restrictedCmd(), spi.restrictedCmd2()}) {
      for (unsigned lane = 0; lane < 4; lane++) {
        restricted |= ((word >> (8 * lane)) & 0xFF) == opcode;
      }
    }
    out.opcodes.push_back(SpiOpcode{opcode, restricted});
  }
  for (const SpiWrite &write : spi.writes()) {
    if (write.offset != spi::kReg1D || write.width != 1) {
      continue;
    }
    auto value = static_cast<uint8_t>(write.value);
    if (!out.armedWrite && (value & spi::kProtect) != 0) {
      out.armedWrite = out.reg1DWrites.size();
      out.armedAt = write.traceIndex;
    }
    if (!out.lockedWrite && (value & spi::kLock) != 0) {
      out.lockedWrite = out.reg1DWrites.size();
      out.lockedAt = write.traceIndex;
    }
    out.reg1DWrites.push_back(SpiByteWrite{write.traceIndex, value, write.ignored});
  }
  const auto &trace = machine.trace();
  auto consider = [&out](std::optional<size_t> at, PortOffBy by, std::optional<unsigned> nth = std::nullopt) {
    if (at && (!out.firstPortOffAt || *at < *out.firstPortOffAt)) {
      out.firstPortOffAt = at;
      out.firstPortOffBy = by;
      out.firstPortOffNth = nth;
    }
  };
  if (const UsbPortControlModel *usb = simulation.usbPortControl()) {
    for (size_t i = 0; i < usb->calls().size(); i++) {
      const PortMaskCall &call = usb->calls()[i];
      if ((call.mask & call.value) != 0) {
        consider(call.traceIndex, PortOffBy::SetPortMask, static_cast<unsigned>(i + 1));
        break;
      }
    }
  }
  if (const Mc5744Model *hub = simulation.mc5744()) {
    if (auto at = hub->firstPortOffAt()) {
      unsigned nth = 0;
      for (const HubCall &call : hub->calls()) {
        nth += call.kind == HubCall::Kind::ApplyConfig ? 1 : 0;
        if (call.kind == HubCall::Kind::ApplyConfig && call.traceIndex == *at) {
          break;
        }
      }
      consider(at, PortOffBy::HubApplyConfig, nth);
    }
  }
  // A SATA port goes off with the write that sets its bit in a die's
  // port-disable register, through the index/data pair at 0xB8/0xBC.
  for (size_t i = 0; i < trace.size(); i++) {
    const TraceEntry &e = trace[i];
    if (e.kind == AccessKind::IoWrite && e.address == 0xCFC && e.width == 4 && (e.value & 0x00FF0000) != 0 &&
        i >= 2 && trace[i - 1].kind == AccessKind::IoWrite && trace[i - 1].address == 0xCF8 &&
        (trace[i - 1].value & 0xFC) == 0xBC) {
      consider(i, PortOffBy::SataPortDisable);
      break;
    }
  }
  r.spi = std::move(out);
}

// "OrvexPlatformUsbDisable Locations = 0x15": the only place the locations
// the driver hands the hub routine show.
std::optional<uint8_t> reportedHubLocations(const std::string &console) {
  static constexpr std::string_view kLine = "OrvexPlatformUsbDisable Locations = 0x";
  size_t at = console.rfind(kLine);
  if (at == std::string::npos) {
    return std::nullopt;
  }
  unsigned value = 0;
  size_t digits = 0;
  for (size_t i = at + kLine.size(); i < console.size(); i++, digits++) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(console[i])));
    unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
                     : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                                            : 16;
    if (digit == 16) {
      break;
    }
    value = value * 16 + digit;
    if (value > 0xFF) {
      return std::nullopt;
    }
  }
  return digits == 0 ? std::nullopt : std::optional<uint8_t>(static_cast<uint8_t>(value));
}

void recordPorts(BootRecord &r, Simulation &simulation) {
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
  r.hubLocations = reportedHubLocations(simulation.consoleTap().written(0x3F8));
  if (const PlatformIdModel *identity = simulation.identity()) {
    r.platformStateQueries = identity->queries();
  }
}

void recordDies(BootRecord &r, Simulation &simulation) {
  const Board &board = simulation.board();
  for (const auto &[number, die] : simulation.dies()) {
    DieRecord d;
    d.die = number;
    for (const BoardDie &boardDie : board.dies) {
      if (boardDie.number == number) {
        d.bus = boardDie.bus;
        auto reset = boardDie.indirect.find(DieRoot::kSataPortDisable);
        d.portDisableAtReset = reset == boardDie.indirect.end() ? 0 : reset->second;
      }
    }
    d.portDisable = die->indirect(DieRoot::kSataPortDisable);
    for (const auto &[reg, value] : die->writes()) {
      if (reg == DieRoot::kSataPortDisable) {
        d.portDisableWrites.push_back(value);
      }
    }
    r.dies.push_back(std::move(d));
  }
}

void recordPcd(BootRecord &r, Simulation &simulation, const std::vector<PoolBlock> &pool) {
  DxeCore &core = simulation.core();
  for (const PcdWrite &write : core.pcdWrites()) {
    r.pcdWrites.push_back(PcdWriteRecord{write.token, write.size, write.value,
                                         write.value == 0 ? std::nullopt : poolRef(pool, write.value),
                                         write.status, write.owner});
  }
  for (uint64_t token = 228; token <= 236; token++) {
    auto found = core.pcdTokens().find(token);
    auto atStart = simulation.board().pcd.find(token);
    uint64_t start = atStart == simulation.board().pcd.end() ? 0 : atStart->second.value;
    if (found != core.pcdTokens().end() && found->second.value != start) {
      r.pcdAfter[token] = found->second.value;
    }
  }
}

void recordNvram(BootRecord &r, Simulation &simulation) {
  if (const NvramAttributeModel *nvram = simulation.nvram()) {
    r.nvramInstalled = true;
    for (const AttributeRead &read : nvram->reads()) {
      r.nvramReads.push_back(
          NvramReadRecord{std::string(read.name.begin(), read.name.end()), read.status, read.problem});
    }
  }
}

void recordS3Library(S3Record &out, Simulation &simulation, const std::vector<PoolBlock> &pool) {
  S3LibraryRecord &library = out.library;
  DxeCore &core = simulation.core();
  auto token = core.pcdTokens().find(kPcdS3SavePrivateData);
  uint64_t address = token == core.pcdTokens().end() ? 0 : token->second.value;
  if (address == 0) {
    library.state = S3LibraryState::NoPrivateData;
    return;
  }
  if (!liveRange(pool, address, 16)) {
    library.state = S3LibraryState::PrivateDataNotPool;
    return;
  }
  library.privateData = poolRef(pool, address);
  const auto *bytes = reinterpret_cast<const uint8_t *>(static_cast<uintptr_t>(address));
  S3PrivateData data;
  data.address = address;
  data.bootScriptLocked = bytes[0];
  data.tableClosed = bytes[1];
  std::memcpy(&data.tableBase, bytes + 8, 8);
  library.data = data;
  library.state = data.tableClosed != 0        ? S3LibraryState::Closed
                  : data.bootScriptLocked != 0 ? S3LibraryState::Recording
                                               : S3LibraryState::BeforeReadyToLock;
  if (data.tableBase == 0) {
    return;
  }
  out.tableEverCreated = true;
  library.table = poolRef(pool, data.tableBase);
  library.tableFreed = !library.table.has_value();
  if (liveRange(pool, data.tableBase, kS3TableHeaderSize)) {
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

// A block a hand-off named, as the boot left it: freed unless it is still
// the live block it was.
MemoryRef atEndOfBoot(MemoryRef ref, const std::vector<PoolBlock> &pool) {
  if (ref.kind == MemoryRef::Kind::Pool && !liveRange(pool, ref.address - ref.offset, ref.size)) {
    ref.kind = MemoryRef::Kind::FreedPool;
  }
  return ref;
}

void recordS3(BootRecord &r, Simulation &simulation, const std::vector<PoolBlock> &pool) {
  S3Record &out = r.s3;
  const S3Platform &s3 = simulation.s3();
  if (const PciMmioWindow *window = s3.window()) {
    out.window = S3Record::Window{window->base(), window->size(), window->buses()};
  }
  recordS3Library(out, simulation, pool);
  if (const DebugPrintServiceModel *service = s3.debugPrint()) {
    out.debugPrintInstalled = true;
    out.debugPrintFilters = service->enabledFilters();
    out.debugPrintLines = service->lines();
  }
  if (const SmmCommunicationModel *smm = s3.smmCommunication()) {
    out.smmInstalled = true;
    for (const SmmCommunicateCall &call : smm->calls()) {
      SmmCallRecord c;
      c.buffer = call.bufferRef;
      c.commSize = call.commSize;
      c.status = call.status;
      c.accepted = call.accepted;
      c.injected = call.injected;
      c.reason = call.reason;
      c.message = call.message;
      if (call.privateDataRef) {
        c.privateDataBlock = atEndOfBoot(*call.privateDataRef, pool);
      }
      if (call.tableRef) {
        c.tableBlock = atEndOfBoot(*call.tableRef, pool);
        out.tableEverCreated |= call.tableRef->address != 0;
      }
      c.privateData = call.privateData;
      if (!call.table.empty()) {
        c.table = call.decoded;
        if (out.window) {
          locateConfigRegisters(*c.table, out.window->base, out.window->buses);
        }
        c.tableBytes = call.table;
      }
      out.smmCalls.push_back(std::move(c));
    }
  }
  if (const auto &resume = s3.resumeResult()) {
    out.resume = *resume;
  }
}

void recordConsole(BootRecord &r, Simulation &simulation) {
  ConsoleRecord &out = r.console;
  const Uart16550 *uarts[] = {&simulation.console(), &simulation.secondConsole()};
  for (unsigned i = 0; i < 2; i++) {
    const Uart16550 &uart = *uarts[i];
    UartRecord &u = out.uarts[i];
    u.base = uart.base();
    u.present = uart.config().present;
    u.fifoReportsOff = uart.config().fifoReportsOff;
    u.neverDrains = uart.config().neverDrains;
    u.bytes = uart.bytes();
    u.written = simulation.consoleTap().written(uart.base());
    u.pending = uart.pending();
    u.lost = uart.lost();
    u.runs = uart.runs();
    for (const SentRun &run : u.runs) {
      u.lineNs += run.count * run.settings.characterNs();
    }
    u.accesses = uart.accesses();
    u.accessNs = uart.accessNs();
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
}

// Every report as printed, with the trap that followed it if one did, and
// every trap that came without a report.
void recordAssertions(BootRecord &r, Simulation &simulation) {
  const ConsoleTap &tap = simulation.consoleTap();
  auto codeName = [&](uint32_t context) {
    return context < r.codeNames.size() ? r.codeNames[context] : simulation.codeName(context);
  };
  const auto &reports = tap.reports();
  const auto &traps = tap.traps();
  size_t next = 0;
  for (const ConsoleTap::Trap &trap : traps) {
    // The reports printed before this trap: all but the last went untrapped.
    size_t last = next;
    while (last < reports.size() && reports[last].sequence <= trap.sequence) {
      last++;
    }
    for (size_t i = next; i + 1 < last; i++) {
      const ConsoleTap::Report &report = reports[i];
      r.assertions.push_back(AssertionRecord{report.file, report.line, report.expression, 0,
                                             report.traceIndex, codeName(report.context), true});
    }
    AssertionRecord a;
    a.breakpoint = trap.breakpoint;
    a.traceIndex = trap.traceIndex;
    a.code = codeName(trap.context);
    if (last > next) {
      const ConsoleTap::Report &report = reports[last - 1];
      a.file = report.file;
      a.line = report.line;
      a.expression = report.expression;
    } else {
      a.reportWritten = false;
    }
    r.assertions.push_back(std::move(a));
    next = last;
  }
  for (size_t i = next; i < reports.size(); i++) {
    const ConsoleTap::Report &report = reports[i];
    r.assertions.push_back(AssertionRecord{report.file, report.line, report.expression, 0, report.traceIndex,
                                           codeName(report.context), true});
  }
  r.breakpoints = simulation.machine().breakpointCount();
  for (const auto &stop : simulation.postCodes().fatalStops()) {
    r.fatalStops.push_back(FatalStopRecord{stop.code, stop.windows, stop.halted});
  }
  r.postCodes = simulation.postCodes().history();
}

bool isPoolMisuse(const std::string &line) {
  for (std::string_view kind : {"use after free", "double free", "FreePool of", "AllocatePool of"}) {
    if (line.find(kind) != std::string::npos) {
      return true;
    }
  }
  return false;
}

void recordPool(BootRecord &r, const std::vector<PoolBlock> &pool) {
  uint64_t privateData = r.s3.library.data ? r.s3.library.data->address : 0;
  uint64_t tableBase = r.s3.library.data ? r.s3.library.data->tableBase : 0;
  for (size_t i = 0; i < pool.size(); i++) {
    const PoolBlock &block = pool[i];
    auto first = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block.address));
    r.pool.push_back(PoolRecord{i, block.size, block.type, block.owner, first == privateData,
                                tableBase != 0 && first == tableBase});
  }
  for (const std::string &line : r.diagnostics) {
    if (isPoolMisuse(line)) {
      r.poolMisuse.push_back(line);
    }
  }
}

void recordFailures(BootRecord &r, Simulation &simulation) {
  const Board &board = simulation.board();
  const FailurePlan &plan = simulation.core().failures();
  for (const FailureRule &rule : board.failures) {
    r.failureRules.push_back(FailureRuleRecord{rule.service, rule.call, rule.status, rule.guid, 0});
  }
  // Which of its function's calls of the service each call was.
  // A call's GUID keys it as its bytes (none: all zero), not as text: the
  // log holds every service call of the boot.
  using GuidBytes = std::array<uint8_t, sizeof(EFI_GUID) + 1>;
  auto guidBytes = [](const std::optional<EFI_GUID> &guid) {
    GuidBytes bytes{};
    if (guid) {
      bytes[0] = 1;
      std::memcpy(bytes.data() + 1, &*guid, sizeof(EFI_GUID));
    }
    return bytes;
  };
  std::map<std::tuple<std::string_view, GuidBytes, std::string_view, uintptr_t>, unsigned> occurrences;
  size_t hit = 0;
  auto functionOf = [&simulation](const ServiceCall &call) {
    if (call.notify == 0) {
      return std::string("entry");
    }
    std::string name =
        simulation.functionIn(std::string(call.image), reinterpret_cast<const void *>(call.notify));
    return name.empty() ? fmt::format("notify 0x{:X}", call.notify) : name;
  };
  // The images' calls by their place in the log; the core's own are not kept.
  std::vector<std::optional<size_t>> kept;
  kept.reserve(plan.log().size());
  for (const ServiceCall &call : plan.log()) {
    kept.emplace_back();
    if (call.image != "DxeCore") {
      kept.back() = r.calls.size();
      r.serviceCalls[std::string(call.service)]++;
      r.calls.push_back(CallRecord{std::string(call.service), std::string(call.image), functionOf(call),
                                   call.guid, call.injected});
    }
    unsigned occurrence = ++occurrences[{call.service, guidBytes(call.guid), call.image, call.notify}];
    if (!call.injected || hit >= plan.hits().size()) {
      continue;
    }
    const FailureHit &h = plan.hits()[hit++];
    FailureHitRecord f;
    f.rule = h.rule;
    f.service = h.service;
    f.call = h.call;
    f.guid = call.guid ? call.guid : h.guid;
    f.status = h.status;
    f.image = std::string(call.image);
    f.function = functionOf(call);
    f.occurrence = occurrence;
    if (h.rule < r.failureRules.size()) {
      r.failureRules[h.rule].hits++;
    }
    r.injected.push_back(std::move(f));
  }
  // The call that first switched a port off, among those that took effect.
  if (r.spi && r.spi->firstPortOffNth) {
    std::string_view service = *r.spi->firstPortOffBy == PortOffBy::SetPortMask ? "UsbPortControl.SetPortMask"
                                                                                : "Mc5744.ApplyConfig";
    unsigned seen = 0;
    for (size_t i = 0; i < r.calls.size(); i++) {
      if (r.calls[i].service == service && !r.calls[i].injected && ++seen == *r.spi->firstPortOffNth) {
        r.spi->firstPortOffCall = i;
        break;
      }
    }
  }
  for (const LookupNote &note : plan.lookups()) {
    if (note.call < kept.size() && kept[note.call]) {
      r.lookups.push_back(
          LookupRecord{*kept[note.call], note.status, plan.log()[note.call].subject, note.key, note.value});
    }
  }
}

// Polls and timer reads come and go with timing; what else the boot read
// and wrote is its behaviour.
void recordHardware(BootRecord &r, const Machine &machine) {
  for (const TraceEntry &e : machine.trace()) {
    AccessName name = machine.accessName(e);
    bool uart = name.device.rfind("UART", 0) == 0;
    bool read = e.kind == AccessKind::IoRead || e.kind == AccessKind::MmioRead;
    if ((uart && read && name.reg == "LSR") || (read && name.device == "ACPI PM timer") ||
        (uart && e.kind == AccessKind::IoWrite && name.reg == "THR")) {
      continue;
    }
    r.hardware.push_back(HardwareAccess{e.kind, e.address, e.width, e.value, std::move(name.device),
                                        std::move(name.reg), e.context});
  }
}

// The function part of a code name ("KeshInitDxe KeshOnEndOfDxe").
std::string functionOf(const BootRecord &r, uint32_t context, const std::string &image) {
  const std::string &name = context < r.codeNames.size() ? r.codeNames[context] : std::string();
  return name.size() > image.size() ? name.substr(image.size() + 1) : "";
}

void recordCalls(BootRecord &r, Simulation &simulation) {
  DxeCore &core = simulation.core();
  const auto &contexts = core.codeContexts();
  for (const ImageCall &call : core.imageCalls()) {
    ImageCallRecord c;
    if (call.context >= 1 && call.context <= contexts.size()) {
      const CodeContext &code = contexts[call.context - 1];
      c.image = code.image;
      c.function = functionOf(r, call.context, code.image);
      // The loader calls each image's entry point once, before anything it registered.
      c.entryPoint = std::none_of(core.events().begin(), core.events().end(), [&](const EventInfo &event) {
        return reinterpret_cast<const void *>(event.notify) == code.function && event.owner == code.image;
      });
    }
    c.tpl = call.tpl;
    c.startNs = call.startNs;
    c.endNs = call.endNs;
    c.end = call.end;
    c.depth = call.depth;
    r.timing.calls.push_back(std::move(c));
  }
  for (const SignalNote &note : core.signalNotes()) {
    SignalRecord signal{note.timeNs, note.group, "", "", note.by};
    if (!note.group && note.event < core.events().size()) {
      const EventInfo &event = core.events()[note.event];
      signal.eventOwner = event.owner;
      signal.notifyFunction =
          simulation.functionIn(event.owner, reinterpret_cast<const void *>(event.notify));
    }
    r.timing.signals.push_back(std::move(signal));
  }
  for (const InstallNote &note : core.installNotes()) {
    r.timing.installs.push_back(InstallRecord{note.timeNs, note.protocol, note.by});
  }
}

void recordConsoleLines(BootRecord &r, Simulation &simulation) {
  const Uart16550 *uarts[] = {&simulation.console(), &simulation.secondConsole()};
  for (unsigned i = 0; i < 2; i++) {
    const std::string &bytes = uarts[i]->bytes();
    const std::vector<uint64_t> &feeds = uarts[i]->lineFeedNs();
    size_t start = 0;
    for (uint64_t timeNs : feeds) {
      size_t feed = bytes.find('\n', start);
      if (feed == std::string::npos) {
        break;
      }
      size_t end = feed > start && bytes[feed - 1] == '\r' ? feed - 1 : feed;
      r.timing.consoleLines.push_back(ConsoleLineRecord{i, timeNs, bytes.substr(start, end - start)});
      start = feed + 1;
    }
    // A last line without its line feed went out with the last run.
    if (start < bytes.size() && !uarts[i]->runs().empty()) {
      r.timing.consoleLines.push_back(
          ConsoleLineRecord{i, uarts[i]->runs().back().endNs, bytes.substr(start)});
    }
  }
}

// Writes that reached the hub: the SPI controller's and the window's
// memory-mapped registers, and the dies' indirect registers through the
// index/data pair of their root device (0xB8/0xBC, reached through CF8/CFC).
void recordHubWrites(BootRecord &r, const Machine &machine) {
  const auto &trace = machine.trace();
  constexpr uint64_t kSpiSize = SpiController::kSize;
  std::map<uint8_t, uint32_t> dieIndex; // by bus
  uint32_t address = 0;                 // CF8
  for (size_t i = 0; i < trace.size(); i++) {
    const TraceEntry &e = trace[i];
    auto code = [&] { return e.context < r.codeNames.size() ? r.codeNames[e.context] : std::string(); };
    if (e.kind == AccessKind::MmioWrite) {
      if (r.spi && r.spi->base != 0 && e.address >= r.spi->base && e.address - r.spi->base < kSpiSize) {
        r.timing.hubWrites.push_back(HubWriteRecord{i, e.timeNs, HubTarget::Spi, e.address - r.spi->base, 0,
                                                    e.width, e.value, code()});
      } else if (r.s3.window && e.address >= r.s3.window->base &&
                 e.address - r.s3.window->base < r.s3.window->size) {
        r.timing.hubWrites.push_back(HubWriteRecord{
            i, e.timeNs, HubTarget::PciWindow, e.address - r.s3.window->base, 0, e.width, e.value, code()});
      }
      continue;
    }
    if (e.kind != AccessKind::IoWrite || e.width != 4) {
      continue;
    }
    if (e.address == 0xCF8) {
      address = static_cast<uint32_t>(e.value);
      continue;
    }
    auto bus = static_cast<uint8_t>(address >> 16);
    bool rootDevice = (address & 0x8000FF00u) == 0x80000000u; // enabled, device 0, function 0
    if (e.address != 0xCFC || !rootDevice) {
      continue;
    }
    for (const DieRecord &die : r.dies) {
      if (die.bus != bus) {
        continue;
      }
      if ((address & 0xFC) == 0xB8) {
        dieIndex[bus] = static_cast<uint32_t>(e.value);
      } else if ((address & 0xFC) == 0xBC) {
        r.timing.hubWrites.push_back(HubWriteRecord{i, e.timeNs, HubTarget::DieRegister, dieIndex[bus],
                                                    die.die, e.width, e.value, code()});
      }
    }
  }
}

} // namespace

bool CheckResult::asExpected() const {
  if (!expected) {
    return verdict != Verdict::Fail;
  }
  return expected->verdict == verdict && (!expected->count || expected->count == count);
}

size_t BootRecord::unexpectedFailures() const {
  return static_cast<size_t>(std::count_if(checks.begin(), checks.end(), [](const CheckResult &check) {
    return check.expected ? !check.asExpected() && check.verdict != Verdict::Warn
                          : check.verdict == Verdict::Fail;
  }));
}

size_t BootRecord::unexpectedWarnings() const {
  return static_cast<size_t>(std::count_if(checks.begin(), checks.end(), [](const CheckResult &check) {
    return check.verdict == Verdict::Warn && (!check.expected || check.expected->verdict != Verdict::Warn);
  }));
}

PlatformFacts readPlatformFacts(const Board &board, const PciConfigSpace &pci) {
  PlatformFacts facts;
  facts.dxeServices = board.dxeServices;
  facts.runtimeServices = board.runtimeServices;
  facts.systemTableRevision = board.systemTableRevision;
  if (pci.exists(kSpiBridge)) {
    facts.spiBaseRegister = pci.read32(kSpiBridge, kSpiBaseRegister);
    uint64_t base = *facts.spiBaseRegister & 0xFFFFFFC0u;
    if (const GcdRange *range = rangeHolding(board.gcd, base & ~kPageMask)) {
      facts.spiPageType = range->type;
    }
  }
  if (board.identity) {
    facts.identityInstalled = true;
    auto pwd = board.identity->states.find(8);
    facts.pwdAnswer = pwd == board.identity->states.end() ? 0 : pwd->second;
  }
  for (uint8_t die = 0; die < kDies; die++) {
    PciLocation location{0, static_cast<uint8_t>(0x18 + die), 0};
    facts.dieBuses.push_back(
        DieBusRead{die, pci.exists(location) ? pci.read32(location, kDieBusRegister) : 0xFFFFFFFFu});
  }
  return facts;
}

BootRecord recordBoot(Simulation &simulation) {
  BootRecord r;
  std::vector<PoolBlock> pool = simulation.core().poolInUse();
  recordOutcome(r, simulation);
  r.virtualTimeNs = simulation.machine().nowNs();
  r.platform = simulation.platformFacts();
  recordCodeNames(r, simulation);
  recordEvents(r, simulation);
  recordMemoryMap(r, simulation);
  if (const SpiController *spi = simulation.spi()) {
    recordSpi(r, simulation, *spi, simulation.machine());
  }
  recordPorts(r, simulation);
  recordDies(r, simulation);
  recordPcd(r, simulation, pool);
  recordNvram(r, simulation);
  recordS3(r, simulation, pool);
  recordConsole(r, simulation);
  recordAssertions(r, simulation);
  r.diagnostics = simulation.core().diagnostics();
  recordPool(r, pool);
  recordFailures(r, simulation);
  if (simulation.recordsHardware()) {
    recordHardware(r, simulation.machine());
  }
  recordCalls(r, simulation);
  recordConsoleLines(r, simulation);
  recordHubWrites(r, simulation.machine());
  r.nearMisses = findNearMisses(simulation.board(), r);

  r.actualPolicy = actualPolicy(r);
  r.expectedPolicy = expectedPolicy(simulation.board(), r, &r.policyNote);
  r.checks = runChecks(r, simulation.board());
  return r;
}

} // namespace sim
