// SPDX-License-Identifier: BSD-2-Clause-Patent
// What one boot did, built once when the boot ends: typed facts, never
// display text. The text summary, the JSON report, the checks, the trace,
// the sweep and the OVMF comparison all read this record; none of them looks
// at the simulation again, and names and hex are the renderers' business.
#pragma once

#include "Verdict.h"

#include "Board/Board.h"
#include "Machine/Devices.h"
#include "Machine/Machine.h"
#include "Machine/Pci.h"
#include "Machine/SpiController.h"
#include "Machine/Uart16550.h"
#include "Platform/DebugPrintService.h"
#include "Platform/PlatformModels.h"
#include "Platform/S3Resume.h"
#include "Platform/SmmCommunication.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class Simulation;

struct RecordedStep {
  Step step;
  uint64_t startNs;
  std::string note; // what the platform did, or why the step was skipped
  bool ran = true;  // false: the machine had halted before it
};

enum class EventKind : uint8_t { NotifySignal, NotifyWait, ExitBootServices, Other };

struct RecordedEvent {
  EventKind kind = EventKind::Other;
  uint32_t type = 0;
  EFI_TPL tpl = 0;
  std::optional<EFI_GUID> group;          // the event group it belongs to
  std::optional<EFI_GUID> notifyProtocol; // the protocol whose installation it waits for
  std::string owner;                      // the image that created it
  std::string notifyFunction;             // symbol name, or "" when unknown
  uint64_t signals = 0, notifies = 0;
  bool closed = false;
};

struct MapChange {
  uint64_t base = 0, length = 0;
  EFI_GCD_MEMORY_TYPE type = EfiGcdMemoryTypeNonExistent;
  uint64_t attributesBefore = 0, attributesAfter = 0;
  std::string owner; // the image that allocated it, or ""
};

struct SpiOpcode {
  uint8_t opcode;
  bool restricted;
};

// Who switched the first port off.
enum class PortOffBy : uint8_t { SetPortMask, HubApplyConfig, SataPortDisable };

// One write of the SPI controller's byte at 0x1D, as the controller saw it.
struct SpiByteWrite {
  std::optional<size_t> traceIndex; // none when the boot keeps no trace
  uint8_t value;                    // as written
  bool ignored;                     // the lock turned it away
};

struct SpiRecord {
  uint64_t base = 0;
  SpiRegisters before, after;
  bool protect = false, lock = false, writeBufferEnabled = false;
  bool spiControlBit22 = false;
  std::vector<SpiOpcode> opcodes;        // the seven flash-writing opcodes
  std::vector<SpiByteWrite> reg1DWrites; // in order
  std::optional<size_t> armedWrite;      // the first of them with the protect bit
  std::optional<size_t> lockedWrite;     // the first of them with the lock bit
  std::optional<size_t> armedAt;         // trace entry of the first write with the protect bit
  std::optional<size_t> lockedAt;        // trace entry of the first write with the lock bit
  std::optional<size_t>
      firstPortOffAt; // trace entry (or call's trace position) of the first port switched off
  std::optional<PortOffBy> firstPortOffBy;
  // A call switched it off: which of the service's calls that took effect
  // (from 1), and that call's index in BootRecord::calls.
  std::optional<unsigned> firstPortOffNth;
  std::optional<size_t> firstPortOffCall;
  // The trace entry the first port-off call's position names is the
  // call's own when the model logged one; the hardware trace has none for
  // protocol calls, so the report says which kind it is.
};

struct DieRecord {
  uint8_t die = 0;
  uint8_t bus = 0;
  uint32_t portDisableAtReset = 0;         // indirect register 0x03101800 at power-on
  uint32_t portDisable = 0;                // as the boot left it
  std::vector<uint32_t> portDisableWrites; // every value written to it, in order
};

// What a die's bus register (0:18+die.0, 0x84) reads: the platform fact the
// SATA policy rests on, whether or not the board describes the die.
struct DieBusRead {
  uint8_t die = 0;
  uint32_t value = 0xFFFFFFFF;
};

// Where a live address points: the block of pool that holds it, by its
// position among the blocks in use (host addresses differ from run to run).
struct PoolRef {
  size_t index = 0;
  uint64_t offset = 0;
};

struct PcdWriteRecord {
  uint64_t token = 0;
  unsigned size = 0;
  uint64_t value = 0;
  std::optional<PoolRef> pointsTo; // the value is a live pool address
  EFI_STATUS status = EFI_SUCCESS;
  std::string owner;
};

struct NvramReadRecord {
  std::string name;
  EFI_STATUS status = EFI_SUCCESS;
  std::string callerError; // "" when the caller kept the rules
};

struct FatalStopRecord {
  uint32_t code = 0;
  std::vector<uint32_t> windows;
  bool halted = false;
};

struct PoolRecord {
  size_t index = 0; // "pool[index]": its position among the blocks in use
  size_t size = 0;
  EFI_MEMORY_TYPE type = EfiReservedMemoryType;
  std::string owner;
  bool s3PrivateData = false;
  bool s3Table = false;
};

struct UartRecord {
  uint16_t base = 0;
  bool present = true;
  bool fifoReportsOff = false; // the UART says its FIFOs are off: the console skips it
  bool neverDrains = false;    // the transmitter never sends
  std::string bytes;           // as sent on the line
  std::string written;         // as the firmware wrote it to the transmit holding register
  size_t pending = 0;
  uint64_t lost = 0;
  std::vector<SentRun> runs;
  uint64_t lineNs = 0;
  uint64_t accesses = 0, accessNs = 0;
};

struct ConsoleRecord {
  UartRecord uarts[2];
  bool identical = false;
  std::optional<size_t> firstDifference;
  bool sameSettings = false;
  uint64_t lineRateBoundNs = 0;
  uint64_t consoleNs = 0;
  uint64_t accesses = 0;
};

// One failure rule of the board and how often it fired.
struct FailureRuleRecord {
  std::string service;
  unsigned call = 0;
  EFI_STATUS status = EFI_SUCCESS;
  std::optional<EFI_GUID> guid;
  unsigned hits = 0;
};

// One call a failure rule failed: where it was made and which of that
// function's calls of the service it was (its step).
struct FailureHitRecord {
  size_t rule = 0;
  std::string service;
  unsigned call = 0; // among the boot's calls of the service, from 1
  std::optional<EFI_GUID> guid;
  EFI_STATUS status = EFI_SUCCESS;
  std::string image;
  std::string function;    // the notify function, "entry" outside notifies
  unsigned occurrence = 0; // among this image and function's calls of the service, from 1
};

enum class S3LibraryState : uint8_t {
  NoPrivateData,
  PrivateDataNotPool,
  BeforeReadyToLock,
  Recording,
  Closed
};

struct S3LibraryRecord {
  S3LibraryState state = S3LibraryState::NoPrivateData;
  std::optional<PoolRef> privateData;
  std::optional<S3PrivateData> data;
  bool tableFreed = false; // the table base names no live pool
  std::optional<PoolRef> table;
  std::optional<S3TableDecode> liveTable;
};

struct SmmCallRecord {
  MemoryRef buffer;
  std::optional<uint64_t> commSize;
  EFI_STATUS status = EFI_SUCCESS;
  bool accepted = false;
  bool injected = false; // a failure rule failed it before the handler saw it
  std::string reason;
  std::vector<uint8_t> message;
  std::optional<MemoryRef> privateDataBlock, tableBlock;
  std::optional<S3PrivateData> privateData;
  std::optional<S3TableDecode> table;
  std::vector<uint8_t> tableBytes;
};

struct S3Record {
  struct Window {
    uint64_t base, size;
    unsigned buses;
  };
  std::optional<Window> window;
  S3LibraryRecord library;
  // Every capture the library made: configuration writes marked for S3
  // after ready-to-lock, whichever module made them.
  bool tableEverCreated = false;
  bool debugPrintInstalled = false;
  uint64_t debugPrintFilters = 0;
  std::vector<DebugPrintLine> debugPrintLines;
  bool smmInstalled = false;
  std::vector<SmmCallRecord> smmCalls;
  std::optional<S3ResumeResult> resume;
};

// The outcome the board's platform settings call for, from the policy
// rules alone (PolicyModel.cpp), beside what the boot ended with.
struct PolicyOutcome {
  std::vector<std::pair<uint32_t, uint32_t>> portMaskCalls; // (mask, value), controller 0
  std::optional<std::array<uint32_t, 4>> hubEnables;        // nullopt: the hub is not programmed
  std::optional<uint8_t> hubLocations;                      // the locations handed to the hub routine
  std::map<uint64_t, uint64_t> pcd;                         // tokens 228-236 written
  std::map<uint8_t, std::vector<uint32_t>> dieWrites;       // die -> port-disable register writes
  bool operator==(const PolicyOutcome &) const = default;
};

// An assertion report, and the breakpoint trap that ended it when one did.
struct AssertionRecord {
  std::string file;
  unsigned line = 0;
  std::string expression;
  uint64_t breakpoint = 0; // which trap (1-based); 0: no trap followed the report
  size_t traceIndex = 0;
  std::string code;          // the image and function that ran
  bool reportWritten = true; // false: the trap came without a report on either UART's transmitter
};

struct CheckResult {
  std::string name;
  Verdict verdict = Verdict::Pass;
  std::string reason;
  std::vector<std::string> evidence;
  std::optional<size_t> count;         // what a counting check counted
  std::optional<Expectation> expected; // the board's [expect], when it states one
  // Whether the outcome is the board's stated one (or a pass where none is stated).
  bool asExpected() const;
};

// The platform as the driver found it: facts the checks' reference model
// reads, taken from the machine before the boot, never from the driver.
struct PlatformFacts {
  std::optional<uint32_t> spiBaseRegister;        // 0:14.3 0xA0; nullopt: the function is absent
  std::optional<EFI_GCD_MEMORY_TYPE> spiPageType; // the GCD range holding the SPI base; nullopt: none
  bool dxeServices = true;
  bool runtimeServices = true;
  uint32_t systemTableRevision = 0;
  bool identityInstalled = false;
  std::optional<uint8_t> pwdAnswer; // QueryPlatformState (8) as the platform would answer it
  std::vector<DieBusRead> dieBuses; // dies 0 to 7
};

// A hardware access that is part of what a boot did: every write but the
// console's bytes (the console record holds them), every other access but
// the UARTs' line-status polls and the PM timer reads, whose number
// depends on timing. A folded run of reads is one access.
struct HardwareAccess {
  AccessKind kind = AccessKind::IoRead;
  uint64_t address = 0;
  uint8_t width = 0;
  uint64_t value = 0;
  std::string device, reg; // as the machine's models name them; "" where none does
  uint32_t context = 0;    // the code that made it: an index of BootRecord::codeNames
};

// A firmware-service or platform-protocol call an image made.
struct CallRecord {
  std::string service;  // "LocateProtocol", "VroSata.GetPortList"
  std::string image;    // "KeshInitDxe"
  std::string function; // the notify function, "entry" outside notifies
  std::optional<EFI_GUID> guid;
  std::optional<EFI_STATUS> injected; // the status a failure rule gave it
};

// What an image's lookup found: a protocol located, a variable or an
// attribute read, an answer of the platform identity protocol.
struct LookupRecord {
  size_t call = 0; // the call it was: an index of BootRecord::calls
  EFI_STATUS status = EFI_SUCCESS;
  std::string name;            // a variable's or an attribute's name
  std::optional<uint64_t> key; // a platform-state selector
  std::vector<uint8_t> value;  // on success: a variable's bytes, an attribute's text, an answer
};

enum class NearMissKind : uint8_t { Attribute, Variable, Protocol, Value };

// Something the board gives that no image asked for (an attribute, a
// variable, a platform protocol) or an attribute value no image acts on,
// with what was asked for or is acted on that it most likely meant.
struct NearMissRecord {
  NearMissKind kind = NearMissKind::Attribute;
  std::string name;             // the attribute or variable; "" for a protocol
  std::optional<EFI_GUID> guid; // the variable's or the protocol's
  std::string value;            // Value: the board's value
  std::optional<std::string> closest;
};

// When things happened, for the boot's timeline: every call of the core into
// an image, the signals and installs, each console line, and the writes
// that reached the hub's registers. Times are virtual ns.
struct ImageCallRecord {
  std::string image;
  std::string function; // symbol name ("_ModuleEntryPoint", a notify function), "" when unknown
  bool entryPoint = false;
  EFI_TPL tpl = 0;
  uint64_t startNs = 0, endNs = 0;
  ImageCallEnd end = ImageCallEnd::Returned;
  unsigned depth = 0; // the calls it ran inside of
};

struct SignalRecord {
  uint64_t timeNs = 0;
  std::optional<EFI_GUID> group; // a group; none: one event
  std::string eventOwner;        // one event: the image that created it
  std::string notifyFunction;    // one event: its notify function, "" when unknown
  std::string by;                // the image that signalled ("DxeCore": the platform)
};

struct InstallRecord {
  uint64_t timeNs = 0;
  EFI_GUID protocol{};
  std::string by;
};

struct ConsoleLineRecord {
  unsigned uart = 0;   // index into ConsoleRecord::uarts
  uint64_t timeNs = 0; // its last byte finished going out
  std::string text;    // as sent, without the line feed and a CR before it
};

enum class HubTarget : uint8_t { Spi, PciWindow, DieRegister };

struct HubWriteRecord {
  size_t traceIndex = 0;
  uint64_t timeNs = 0;
  HubTarget target = HubTarget::Spi;
  uint64_t offset = 0; // from the SPI base or the window's base; a die's indirect register
  uint8_t die = 0;     // DieRegister: which die
  unsigned width = 0;
  uint64_t value = 0;
  std::string code; // the image and function that wrote it, "" for the platform
};

struct TimelineRecord {
  std::vector<ImageCallRecord> calls; // in the order they began
  std::vector<SignalRecord> signals;
  std::vector<InstallRecord> installs;
  std::vector<ConsoleLineRecord> consoleLines; // by UART, then in order
  std::vector<HubWriteRecord> hubWrites;       // none when the boot keeps no trace
};

// The range of a GCD map that holds an address, if any.
const GcdRange *rangeHolding(const std::vector<GcdRange> &map, uint64_t address);

struct BootRecord {
  std::string boardName, boardSource;
  bool completed = false;
  std::optional<HaltReason> haltReason;
  std::optional<HaltReason> expectedHalt; // the halt the board states as its outcome
  std::optional<std::string> haltDetail;
  std::optional<EFI_STATUS> entryStatus;
  uint64_t virtualTimeNs = 0;
  std::vector<RecordedStep> timeline;
  bool endOfDxeSignalled = false;
  unsigned readyToBootSignals = 0;
  PlatformFacts platform;
  std::vector<RecordedEvent> events;
  std::vector<MapChange> mapChanges;
  std::vector<GcdRange> gcdAtStart, gcd;
  std::optional<SpiRecord> spi;
  bool usbPortControlInstalled = false;
  std::vector<PortMaskCall> portMaskCalls;
  uint32_t portGroupsOff = 0;
  bool mc5744Installed = false;
  std::vector<HubCall> hubCalls;
  std::array<uint32_t, 4> hubEnables{1, 1, 1, 1};
  std::optional<uint8_t> hubLocations; // as the driver reported them to the hub routine
  std::vector<DieRecord> dies;
  std::vector<PcdWriteRecord> pcdWrites;
  std::map<uint64_t, uint64_t> pcdAfter; // tokens 228-236 as the boot left them, where set
  bool nvramInstalled = false;
  std::vector<NvramReadRecord> nvramReads;
  std::vector<uint32_t> platformStateQueries; // QueryPlatformState selectors, in order
  S3Record s3;
  ConsoleRecord console;
  std::vector<AssertionRecord> assertions;
  uint64_t breakpoints = 0;
  std::vector<FatalStopRecord> fatalStops;
  std::vector<PostCodePorts::Write> postCodes;
  std::vector<PoolRecord> pool;
  std::vector<std::string> poolMisuse;          // use after free, double free, frees of foreign pointers
  std::map<std::string, unsigned> serviceCalls; // calls made by the images, by service
  std::vector<CallRecord> calls;                // the same, in order
  std::vector<LookupRecord> lookups;            // of those calls, in order
  // What the board gives that no image asked for, and values not acted on.
  std::vector<NearMissRecord> nearMisses;
  // Only for a boot asked for it (SimulationOptions::recordHardware).
  std::vector<HardwareAccess> hardware;
  std::vector<FailureHitRecord> injected;
  std::vector<FailureRuleRecord> failureRules;
  std::vector<std::string> diagnostics;
  // The board's policy, as the reference model reads it, and what it calls for.
  std::optional<PolicyOutcome> expectedPolicy;
  std::string policyNote; // why no expectation could be formed, when expectedPolicy is empty
  PolicyOutcome actualPolicy;
  std::vector<CheckResult> checks;
  // "KeshInitDxe KeshOnEndOfDxe" by trace context number (0: no code known).
  std::vector<std::string> codeNames;
  TimelineRecord timing;
  // Check outcomes the board does not state in [expect]: failures (and any
  // verdict other than the one expected), and warnings.
  size_t unexpectedFailures() const;
  size_t unexpectedWarnings() const;
};

// Built by Simulation::run() at the end of the boot.
BootRecord recordBoot(Simulation &simulation);

// Read when the machine is built, before any firmware runs.
PlatformFacts readPlatformFacts(const Board &board, const PciConfigSpace &pci);

} // namespace sim
