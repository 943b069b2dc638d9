// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Machine.h"

#include <fmt/format.h>

#include <algorithm>

namespace sim {

const char *accessKindName(AccessKind kind) {
  switch (kind) {
  case AccessKind::IoRead:
    return "io-read";
  case AccessKind::IoWrite:
    return "io-write";
  case AccessKind::MmioRead:
    return "mmio-read";
  case AccessKind::MmioWrite:
    return "mmio-write";
  case AccessKind::Cpuid:
    return "cpuid";
  case AccessKind::ReadMsr:
    return "rdmsr";
  case AccessKind::InterruptsOff:
    return "cli";
  case AccessKind::InterruptsOn:
    return "sti";
  case AccessKind::Breakpoint:
    return "int3";
  case AccessKind::DebugQuery:
    return "debug-query";
  case AccessKind::Interrupt:
    return "interrupt";
  }
  return "?";
}

const char *haltReasonName(HaltReason reason) {
  switch (reason) {
  case HaltReason::FatalStop:
    return "fatal stop";
  case HaltReason::DeadLoop:
    return "dead loop";
  case HaltReason::TimeBudget:
    return "virtual time budget exhausted";
  case HaltReason::DriverFault:
    return "driver fault";
  }
  return "?";
}

Machine::Machine() = default;

uint16_t Machine::addMapping(const NamedDevice *device, uint64_t base) {
  // Past 65,535 mappings the newer ones go unnamed rather than misnamed.
  if (mappings_.size() >= 0xFFFF) {
    return 0;
  }
  mappings_.push_back(Mapping{device, base});
  return static_cast<uint16_t>(mappings_.size());
}

void Machine::mapIo(uint16_t first, uint16_t last, IoDevice *device) {
  endPollRun();
  io_.insert(io_.begin(), IoRange{first, last, device, addMapping(device, 0)});
}

void Machine::mapMmio(uint64_t base, uint64_t size, MmioDevice *device) {
  mmio_.insert(mmio_.begin(), MmioRange{base, size, device, addMapping(device, base)});
}

const Machine::IoRange *Machine::findIo(uint16_t port) const {
  for (const IoRange &range : io_) {
    if (port >= range.first && port <= range.last) {
      return &range;
    }
  }
  return nullptr;
}

const Machine::MmioRange *Machine::findMmio(uint64_t address) const {
  for (const MmioRange &range : mmio_) {
    if (address >= range.base && address - range.base < range.size) {
      return &range;
    }
  }
  return nullptr;
}

namespace {

bool isWrite(AccessKind kind) {
  return kind == AccessKind::IoWrite || kind == AccessKind::MmioWrite;
}

AccessName nameOf(const NamedDevice *device, uint64_t where, bool write, uint8_t bank) {
  if (device == nullptr) {
    return {};
  }
  return AccessName{device->name(), device->registerName(where, write, bank)};
}

} // namespace

AccessName Machine::accessName(const TraceEntry &entry) const {
  switch (entry.kind) {
  case AccessKind::IoRead:
  case AccessKind::IoWrite:
  case AccessKind::MmioRead:
  case AccessKind::MmioWrite: {
    if (entry.mapping == 0 || entry.mapping > mappings_.size()) {
      return {};
    }
    const Mapping &mapping = mappings_[entry.mapping - 1];
    return nameOf(mapping.device, entry.address - mapping.base, isWrite(entry.kind), entry.bank);
  }
  case AccessKind::ReadMsr:
    return {"CPU", fmt::format("MSR 0x{:X}", entry.address)};
  case AccessKind::Cpuid:
    return {"CPU", fmt::format("CPUID 0x{:X}", entry.address)};
  case AccessKind::InterruptsOff:
  case AccessKind::InterruptsOn:
    return {"CPU", "IF"};
  case AccessKind::Breakpoint:
    return {"CPU", "int3"};
  case AccessKind::DebugQuery:
    return {"debug environment", "query"};
  case AccessKind::Interrupt:
    return {"CPU", "interrupt"};
  }
  return {};
}

std::vector<std::string> Machine::deviceNames() const {
  std::vector<std::string> names = {"CPU", "debug environment"};
  for (const Mapping &mapping : mappings_) {
    std::string name = mapping.device != nullptr ? mapping.device->name() : std::string();
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  }
  return names;
}

AccessName Machine::nameAt(AccessKind kind, uint64_t address) const {
  switch (kind) {
  case AccessKind::IoRead:
  case AccessKind::IoWrite: {
    const IoRange *range = address <= 0xFFFF ? findIo(static_cast<uint16_t>(address)) : nullptr;
    return range == nullptr ? AccessName{}
                            : nameOf(range->device, address, isWrite(kind), range->device->registerBank());
  }
  case AccessKind::MmioRead:
  case AccessKind::MmioWrite: {
    const MmioRange *range = findMmio(address);
    return range == nullptr
               ? AccessName{}
               : nameOf(range->device, address - range->base, isWrite(kind), range->device->registerBank());
  }
  default:
    return accessName(TraceEntry{.address = address,
                                 .value = 0,
                                 .lastValue = 0,
                                 .timeNs = 0,
                                 .repeat = 1,
                                 .context = 0,
                                 .mapping = 0,
                                 .kind = kind,
                                 .width = 0,
                                 .bank = 0,
                                 .interruptsEnabled = false});
  }
}

static uint64_t allOnes(unsigned width) {
  return width >= 8 ? ~0ULL : (1ULL << (width * 8)) - 1;
}

// Virtual time saturates instead of wrapping: a huge access cost or step
// must end the boot at the budget, not start the clock again from 0.
static uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  return a > ~0ULL - b ? ~0ULL : a + b;
}

void Machine::tick() {
  nowNs_ = saturatingAdd(nowNs_, accessCostNs_);
  if (timeBudgetNs_ != 0 && nowNs_ > timeBudgetNs_) {
    halt(HaltReason::TimeBudget,
         fmt::format("the boot ran past {} ms of virtual time", timeBudgetNs_ / 1000000));
  }
}

void Machine::record(AccessKind kind, uint64_t address, unsigned width, uint64_t value, uint16_t mapping,
                     const NamedDevice *device) {
  if (!traceEnabled_) {
    return;
  }
  uint8_t bank = device != nullptr ? device->registerBank() : 0;
  bool foldable = kind == AccessKind::IoRead || kind == AccessKind::MmioRead;
  if (foldable && !trace_.empty()) {
    TraceEntry &last = trace_.back();
    if (last.kind == kind && last.address == address && last.width == width &&
        last.interruptsEnabled == interruptsEnabled_ && last.context == context_ && last.mapping == mapping &&
        last.bank == bank) {
      last.repeat++;
      last.lastValue = value;
      return;
    }
  }
  trace_.push_back(TraceEntry{.address = address,
                              .value = value,
                              .lastValue = value,
                              .timeNs = nowNs_,
                              .repeat = 1,
                              .context = context_,
                              .mapping = mapping,
                              .kind = kind,
                              .width = static_cast<uint8_t>(width),
                              .bank = bank,
                              .interruptsEnabled = interruptsEnabled_});
}

void Machine::raiseInterrupt(uint64_t portAccesses, std::function<void()> handler) {
  interruptAt_ = portAccesses_ + portAccesses;
  interruptPending_ = false;
  interruptHandler_ = std::move(handler);
}

void Machine::setTraceEnabled(bool enabled) {
  endPollRun();
  traceEnabled_ = enabled;
}

void Machine::setFastPolls(bool enabled) {
  endPollRun();
  fastPolls_ = enabled;
}

void Machine::deliverInterrupt() {
  endPollRun();
  std::function<void()> handler = std::move(interruptHandler_);
  interruptHandler_ = nullptr;
  interruptAt_.reset();
  interruptPending_ = false;
  interruptsTaken_++;
  record(AccessKind::Interrupt, 0, 0, interruptsTaken_);
  interruptsEnabled_ = false;
  if (handler) {
    handler();
  }
  interruptsEnabled_ = true;
}

void Machine::portAccess() {
  if (interruptAt_ && !interruptPending_ && portAccesses_ >= *interruptAt_) {
    interruptPending_ = true;
  }
  portAccesses_++;
  if (interruptPending_ && interruptsEnabled_) {
    deliverInterrupt();
  }
}

// The reads a busy-wait would make between the last one and the device's
// next change, all answered as the last one was, accounted without being
// made. The wait goes on after each of them: it has read this answer twice
// in a row, and it cannot give up before the device settles.
void Machine::skipPolls() {
  PollRun &run = pollRun_;
  const IoDevice::PollForecast &forecast = run.forecast;
  if (interruptAt_ || interruptPending_ || accessCostNs_ == 0 || forecast.nextChangeNs <= nowNs_) {
    return;
  }
  // Reads come at now + i x cost, the (reads + i)-th of the run.
  uint64_t settlingReads =
      forecast.settledNs > nowNs_ ? (forecast.settledNs - nowNs_ + accessCostNs_ - 1) / accessCostNs_ : 1;
  if (run.afterTimer || settlingReads > kWaitUntimedPolls || run.reads > kWaitUntimedPolls - settlingReads) {
    return;
  }
  // Folded into the entry of the last read, or not at all.
  if (traceEnabled_ &&
      (trace_.empty() || trace_.back().kind != AccessKind::IoRead || trace_.back().address != run.port ||
       trace_.back().width != run.width || trace_.back().interruptsEnabled != run.interruptsEnabled)) {
    return;
  }
  // Each before the change, none past the budget.
  uint64_t count = (forecast.nextChangeNs - nowNs_ - 1) / accessCostNs_;
  if (timeBudgetNs_ != 0) {
    count = timeBudgetNs_ > nowNs_ ? std::min(count, (timeBudgetNs_ - nowNs_) / accessCostNs_) : 0;
  }
  if (count == 0) {
    return;
  }
  portAccesses_ += count;
  nowNs_ += count * accessCostNs_;
  run.reads += count;
  skippedPolls_ += count;
  run.device->skippedReads(run.port, run.width, count);
  if (traceEnabled_) {
    trace_.back().repeat += count;
    trace_.back().lastValue = run.value;
  }
}

uint32_t Machine::ioRead(uint16_t port, unsigned width) {
  PollRun &run = pollRun_;
  bool repeats =
      run.valid && run.port == port && run.width == width && run.interruptsEnabled == interruptsEnabled_;
  if (repeats && run.repeated && fastPolls_) {
    skipPolls();
  }
  bool afterTimer = run.valid && run.port == kPmTimerPort;
  run.valid = false;
  uint64_t interruptsBefore = interruptsTaken_;
  portAccess();
  tick();
  repeats = repeats && interruptsTaken_ == interruptsBefore;
  const IoRange *range = findIo(port);
  IoDevice *device = range != nullptr ? range->device : nullptr;
  uint32_t value = device != nullptr ? device->ioRead(port, width) : static_cast<uint32_t>(allOnes(width));
  value &= static_cast<uint32_t>(allOnes(width));
  record(AccessKind::IoRead, port, width, value, range != nullptr ? range->mapping : 0, device);
  if (fastPolls_) {
    std::optional<IoDevice::PollForecast> forecast =
        device != nullptr ? device->pollForecast(port, width) : std::nullopt;
    run.repeated = repeats && forecast.has_value() && run.device == device && run.value == value;
    run.reads = repeats ? run.reads + 1 : 1;
    run.afterTimer = repeats ? run.afterTimer : afterTimer;
    run.valid = true;
    run.port = port;
    run.width = static_cast<uint8_t>(width);
    run.interruptsEnabled = interruptsEnabled_;
    run.device = device;
    run.value = value;
    run.forecast = forecast.value_or(IoDevice::PollForecast{0, 0});
  }
  return value;
}

// Marks the write being delivered, for writeInProgress(), until the device
// returns or throws (a halt). Writes never fold, so their entry is the last.
class Machine::DeliveringWrite {
public:
  explicit DeliveringWrite(Machine &machine) : machine_(machine), outer_(machine.writing_) {
    machine.writing_.reset();
    if (machine.traceEnabled_ && !machine.trace_.empty()) {
      machine.writing_ = machine.trace_.size() - 1;
    }
  }
  // A device that writes on the bus itself gets its own write's index back.
  ~DeliveringWrite() { machine_.writing_ = outer_; }
  DeliveringWrite(const DeliveringWrite &) = delete;
  DeliveringWrite &operator=(const DeliveringWrite &) = delete;

private:
  Machine &machine_;
  std::optional<size_t> outer_;
};

void Machine::ioWrite(uint16_t port, unsigned width, uint32_t value) {
  endPollRun();
  portAccess();
  tick();
  value &= static_cast<uint32_t>(allOnes(width));
  const IoRange *range = findIo(port);
  record(AccessKind::IoWrite, port, width, value, range != nullptr ? range->mapping : 0,
         range != nullptr ? range->device : nullptr);
  if (observer_ != nullptr) {
    observer_->portWritten(port, width, value);
  }
  if (range != nullptr) {
    DeliveringWrite delivering(*this);
    range->device->ioWrite(port, width, value);
  }
}

uint64_t Machine::mmioRead(uint64_t address, unsigned width) {
  endPollRun();
  tick();
  const MmioRange *range = findMmio(address);
  uint64_t value = range != nullptr ? range->device->mmioRead(address - range->base, width) : allOnes(width);
  value &= allOnes(width);
  record(AccessKind::MmioRead, address, width, value, range != nullptr ? range->mapping : 0,
         range != nullptr ? range->device : nullptr);
  return value;
}

void Machine::mmioWrite(uint64_t address, unsigned width, uint64_t value) {
  endPollRun();
  tick();
  value &= allOnes(width);
  const MmioRange *range = findMmio(address);
  record(AccessKind::MmioWrite, address, width, value, range != nullptr ? range->mapping : 0,
         range != nullptr ? range->device : nullptr);
  if (range != nullptr) {
    DeliveringWrite delivering(*this);
    range->device->mmioWrite(address - range->base, width, value);
  }
}

void Machine::setCpuid(uint32_t leaf, CpuidRegs regs) {
  cpuid_[leaf] = regs;
}

CpuidRegs Machine::cpuid(uint32_t leaf, uint32_t subleaf) {
  endPollRun();
  (void)subleaf;
  tick();
  auto found = cpuid_.find(leaf);
  CpuidRegs regs = found != cpuid_.end() ? found->second : CpuidRegs{};
  record(AccessKind::Cpuid, leaf, 4, regs.eax);
  return regs;
}

CpuidRegs Machine::peekCpuid(uint32_t leaf) const {
  auto found = cpuid_.find(leaf);
  return found != cpuid_.end() ? found->second : CpuidRegs{};
}

std::optional<uint64_t> Machine::peekMmio(uint64_t address, unsigned width) {
  const MmioRange *range = findMmio(address);
  if (range == nullptr) {
    return std::nullopt;
  }
  return range->device->mmioRead(address - range->base, width) & allOnes(width);
}

void Machine::setMsr(uint32_t index, uint64_t value) {
  msr_[index] = value;
}

uint64_t Machine::readMsr(uint32_t index) {
  endPollRun();
  tick();
  auto found = msr_.find(index);
  uint64_t value = found != msr_.end() ? found->second : 0;
  record(AccessKind::ReadMsr, index, 8, value);
  return value;
}

void Machine::setInterrupts(bool enabled) {
  endPollRun();
  tick();
  interruptsEnabled_ = enabled;
  record(enabled ? AccessKind::InterruptsOn : AccessKind::InterruptsOff, 0, 0, enabled ? 1 : 0);
  if (enabled && interruptPending_) {
    deliverInterrupt();
  }
}

void Machine::breakpoint() {
  endPollRun();
  tick();
  breakpoints_++;
  record(AccessKind::Breakpoint, 0, 0, breakpoints_);
  if (observer_ != nullptr) {
    observer_->breakpointHit(breakpoints_);
  }
}

// PAUSE takes time but is no bus access, so it stays out of the trace; a
// polling loop then folds into one entry per polled register.
void Machine::pause() {
  endPollRun();
  tick();
  pauses_++;
}

uint16_t Machine::debugEnvironmentQuery() {
  endPollRun();
  tick();
  record(AccessKind::DebugQuery, 0xBACCD00B, 2, debugAnswer_);
  return debugAnswer_;
}

void Machine::advance(uint64_t ns) {
  endPollRun();
  nowNs_ = saturatingAdd(nowNs_, ns);
}

void Machine::halt(HaltReason reason, std::string detail) {
  throw MachineHalt{reason, std::move(detail)};
}

} // namespace sim
