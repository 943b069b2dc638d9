// SPDX-License-Identifier: BSD-2-Clause-Patent
// The simulated machine: port and MMIO buses with device models on them,
// CPUID and MSR tables, the interrupt flag, the breakpoint trap, a virtual
// clock and an ordered trace of every access.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

enum class AccessKind : uint8_t {
  IoRead,
  IoWrite,
  MmioRead,
  MmioWrite,
  Cpuid,
  ReadMsr,
  InterruptsOff,
  InterruptsOn,
  Breakpoint,
  DebugQuery,
  Interrupt,
};
const char *accessKindName(AccessKind kind);

// Consecutive identical polls (same kind, address and width, reads only)
// fold into one entry with a repeat count, so a busy-wait stays readable.
// A bus access keeps which mapping served it and the device's register bank
// then, so that the machine can name it later (accessName) without a string
// in the entry. Widest members first: a boot keeps thousands of entries.
struct TraceEntry {
  uint64_t address;
  uint64_t value;     // the first value of a folded run
  uint64_t lastValue; // the last value of a folded run
  uint64_t timeNs;
  uint64_t repeat;
  uint32_t context; // the code running, as the platform numbers it (0: none known)
  uint16_t mapping; // the bus mapping that served it, 1-based (0: none)
  AccessKind kind;
  uint8_t width;
  uint8_t bank; // the device's registerBank() at the access
  bool interruptsEnabled;
};
static_assert(sizeof(TraceEntry) == 56);

// A device and the register an access reaches: ("UART 0x3F8", "LSR"),
// ("SPI", "RestrictedCmd"); both empty where no device names it.
struct AccessName {
  std::string device;
  std::string reg;
  bool operator==(const AccessName &) const = default;
};

// Sees what the firmware does at the machine's edge, whether or not a
// device decodes it: every port write and every breakpoint trap.
class MachineObserver {
public:
  virtual ~MachineObserver() = default;
  virtual void portWritten(uint16_t port, unsigned width, uint32_t value) = 0;
  virtual void breakpointHit(uint64_t count) = 0;
};

// What a device model is called and what it calls its registers, for the
// trace and whoever reads it.
class NamedDevice {
public:
  virtual ~NamedDevice() = default;
  // "UART 0x3F8", "SPI"; empty for a device that gives no name.
  virtual std::string name() const { return {}; }
  // Which set of registers the device's addresses reach now, where its state
  // switches them (a UART's divisor latch): the machine keeps it with each
  // access, so the access is named as it was made.
  virtual uint8_t registerBank() const { return 0; }
  // The register a read or a write at this port (on the port bus) or offset
  // (from the start of a memory-mapped range) reaches in that bank.
  virtual std::string registerName(uint64_t where, bool write, uint8_t bank) const {
    (void)where;
    (void)write;
    (void)bank;
    return {};
  }
};

// A device model on the port bus: one read and one write handler that
// switch on the port; a width-1/2/4 access at the given port.
class IoDevice : public NamedDevice {
public:
  virtual uint32_t ioRead(uint16_t port, unsigned width) = 0;
  virtual void ioWrite(uint16_t port, unsigned width, uint32_t value) = 0;

  // For a status register that firmware busy-waits on, asked right after a
  // read of the port whose answer is going to change on its own: when it
  // next changes (reads before then answer the same and change nothing but
  // the device's access count), and from when it changes no more. Nullopt
  // when the answer stays as it is until another access, or when a read may
  // have any other effect.
  struct PollForecast {
    uint64_t nextChangeNs;
    uint64_t settledNs;
  };
  virtual std::optional<PollForecast> pollForecast(uint16_t port, unsigned width) const {
    (void)port;
    (void)width;
    return std::nullopt;
  }
  // Reads the machine accounted on that forecast without making them.
  virtual void skippedReads(uint16_t port, unsigned width, uint64_t count) {
    (void)port;
    (void)width;
    (void)count;
  }
};

class MmioDevice : public NamedDevice {
public:
  // offset is relative to the start of the mapped range.
  virtual uint64_t mmioRead(uint64_t offset, unsigned width) = 0;
  virtual void mmioWrite(uint64_t offset, unsigned width, uint64_t value) = 0;
};

struct CpuidRegs {
  uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// DriverFault: code of an image raised a fault signal (Host/FaultGuard.h).
enum class HaltReason { FatalStop, DeadLoop, TimeBudget, DriverFault };
const char *haltReasonName(HaltReason reason);

// Thrown out of a hardware access to end a boot that can never go on (the
// fatal stop's endless display, a runaway loop). The firmware frames it
// unwinds hold no resources; the simulator's own frames clean up.
struct MachineHalt {
  HaltReason reason;
  std::string detail;
};

class Machine {
public:
  Machine();

  // Buses. A later mapping over the same range takes precedence.
  void mapIo(uint16_t first, uint16_t last, IoDevice *device);
  void mapMmio(uint64_t base, uint64_t size, MmioDevice *device);

  uint32_t ioRead(uint16_t port, unsigned width);
  void ioWrite(uint16_t port, unsigned width, uint32_t value);
  uint64_t mmioRead(uint64_t address, unsigned width);
  void mmioWrite(uint64_t address, unsigned width, uint64_t value);

  // Processor.
  void setCpuid(uint32_t leaf, CpuidRegs regs);
  CpuidRegs cpuid(uint32_t leaf, uint32_t subleaf);
  // The table entry, without an access: for device models.
  CpuidRegs peekCpuid(uint32_t leaf) const;
  // A memory-mapped read outside the firmware's view: no trace, no time.
  // Nullopt where no device decodes the address.
  std::optional<uint64_t> peekMmio(uint64_t address, unsigned width);
  void setMsr(uint32_t index, uint64_t value);
  uint64_t readMsr(uint32_t index);
  bool interruptsEnabled() const { return interruptsEnabled_; }
  void setInterrupts(bool enabled);
  void breakpoint();
  uint64_t breakpointCount() const { return breakpoints_; }
  void pause();
  uint64_t pauseCount() const { return pauses_; }
  void setDebugEnvironmentAnswer(uint16_t answer) { debugAnswer_ = answer; }
  uint16_t debugEnvironmentQuery();

  // Virtual time. Every access advances the clock by the access cost.
  uint64_t nowNs() const { return nowNs_; }
  void advance(uint64_t ns);
  void setAccessCostNs(uint64_t ns) { accessCostNs_ = ns; }
  uint64_t accessCostNs() const { return accessCostNs_; }
  // A boot that runs past this much virtual time is halted (0: no budget).
  void setTimeBudgetNs(uint64_t ns) { timeBudgetNs_ = ns; }
  [[noreturn]] void halt(HaltReason reason, std::string detail);

  const std::vector<TraceEntry> &trace() const { return trace_; }
  // Which device and register an entry of the trace reached, as the device
  // stood then; the processor's own entries are named too ("CPU", "MSR 0x1B").
  AccessName accessName(const TraceEntry &entry) const;
  // Which device and register a read or a write at this port or address
  // reaches now.
  AccessName nameAt(AccessKind kind, uint64_t address) const;
  // Every name accessName can give a device: the mapped devices' and the
  // processor's own, each once, in the order they were mapped.
  std::vector<std::string> deviceNames() const;
  // While a port or memory-mapped write is being delivered to its device:
  // the index of its trace entry (nullopt without a trace, or outside such
  // a write), for device models that log their writes.
  std::optional<size_t> writeInProgress() const { return writing_; }
  // The code running now (the platform's number for an image's entry point
  // or notify function); recorded with every access.
  void setContext(uint32_t context) { context_ = context; }
  uint32_t context() const { return context_; }
  void setObserver(MachineObserver *observer) { observer_ = observer; }
  void setTraceEnabled(bool enabled);
  bool traceEnabled() const { return traceEnabled_; }
  // Room for this many entries up front, for runs that know what a boot needs.
  void reserveTrace(size_t entries) { trace_.reserve(entries); }

  // Busy-waits. A port read that repeats the one before it (same port,
  // width and interrupt flag, nothing else in between) and got the same
  // answer is taken as a wait that goes on while the answer stays: the reads
  // that would follow before the device's next change are accounted at once
  // (clock, port-access count, the device's access count, the trace's
  // folded entry) and the next one is made for real. Only a wait that the
  // device settles within kWaitPollLimit reads is shortened: the console
  // library gives a wait up after that many reads, and one that would run
  // that long makes every read, so it gives up at the same one. Nothing an
  // interrupt or the time budget would act on is skipped. On by default.
  static constexpr uint64_t kWaitPollLimit = 100000;
  // The console's waits read only the UART for this many reads
  // (UART_WAIT_UNTIMED_POLLS) and then the PM timer between strides of
  // reads, counted in reads made: only a wait the UART settles within
  // these reads is shortened, and none after a timer read.
  static constexpr uint64_t kWaitUntimedPolls = 4096;
  static constexpr uint16_t kPmTimerPort = 0x408;
  void setFastPolls(bool enabled);
  bool fastPolls() const { return fastPolls_; }
  // Port reads accounted without being made.
  uint64_t skippedPolls() const { return skippedPolls_; }

  // Raises an interrupt just before the port access that comes after
  // `portAccesses` more of them. It is taken when the interrupt flag is set,
  // at once or at the next STI; the handler runs with the flag clear, as an
  // interrupt gate leaves it, and the flag is restored afterwards.
  void raiseInterrupt(uint64_t portAccesses, std::function<void()> handler);
  uint64_t interruptsTaken() const { return interruptsTaken_; }

private:
  struct IoRange {
    uint16_t first, last;
    IoDevice *device;
    uint16_t mapping;
  };
  struct MmioRange {
    uint64_t base, size;
    MmioDevice *device;
    uint16_t mapping;
  };
  // Every mapping ever made, for naming trace entries: where the device's
  // offsets start (0 on the port bus, whose devices take the port).
  struct Mapping {
    const NamedDevice *device;
    uint64_t base;
  };
  class DeliveringWrite;
  uint16_t addMapping(const NamedDevice *device, uint64_t base);
  const IoRange *findIo(uint16_t port) const;
  const MmioRange *findMmio(uint64_t address) const;
  void record(AccessKind kind, uint64_t address, unsigned width, uint64_t value, uint16_t mapping = 0,
              const NamedDevice *device = nullptr);
  void tick();
  void portAccess();
  void deliverInterrupt();
  // The chain of identical port reads that a busy-wait makes.
  struct PollRun {
    bool valid = false; // the last machine action was this read
    uint16_t port = 0;
    uint8_t width = 0;
    bool interruptsEnabled = false;
    IoDevice *device = nullptr;
    uint32_t value = 0;
    uint64_t reads = 0;      // identical reads in a row, this one included
    bool repeated = false;   // it answered as the one before it, and the device has a forecast
    bool afterTimer = false; // the run began right after a PM timer read
    IoDevice::PollForecast forecast{};
  };
  void endPollRun() { pollRun_.valid = false; }
  void skipPolls();

  std::vector<IoRange> io_;
  std::vector<MmioRange> mmio_;
  std::vector<Mapping> mappings_;
  std::optional<size_t> writing_;
  std::map<uint32_t, CpuidRegs> cpuid_;
  std::map<uint32_t, uint64_t> msr_;
  bool interruptsEnabled_ = true;
  uint64_t breakpoints_ = 0;
  uint64_t pauses_ = 0;
  uint16_t debugAnswer_ = 0;
  uint64_t nowNs_ = 0;
  uint64_t accessCostNs_ = 1000;
  uint64_t timeBudgetNs_ = 0;
  bool traceEnabled_ = true;
  std::vector<TraceEntry> trace_;
  uint64_t portAccesses_ = 0;
  std::optional<uint64_t> interruptAt_;
  bool interruptPending_ = false;
  std::function<void()> interruptHandler_;
  uint64_t interruptsTaken_ = 0;
  uint32_t context_ = 0;
  MachineObserver *observer_ = nullptr;
  bool fastPolls_ = true;
  PollRun pollRun_;
  uint64_t skippedPolls_ = 0;
};

} // namespace sim
