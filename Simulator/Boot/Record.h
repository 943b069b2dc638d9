// SPDX-License-Identifier: BSD-2-Clause-Patent
// What one boot did, built once when the boot ends. The text summary, the
// JSON report, the checks and the trace all read this record; none of them
// looks at the simulation again.
#pragma once

#include "Boot.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct RecordedStep {
  std::string step;
  uint64_t startNs;
  std::string note;
};

struct RecordedEvent {
  std::string type;    // "notify-signal", "notify-wait", "exit-boot-services", or the hex type
  std::string tpl;     // "TPL_CALLBACK"
  std::string subject; // "group End of DXE", "protocol notify PCI Enumeration Complete", "no group"
  std::optional<std::string> group;          // the group's name, when it has one
  std::optional<std::string> notifyProtocol; // the protocol it waits for, if any
  std::string owner;
  std::string notifyFunction; // symbol name, or "" when unknown
  uint64_t signals = 0, notifies = 0;
  bool closed = false;
};

struct MapChange {
  uint64_t base = 0, length = 0;
  std::string type; // "mmio", "system-memory", ...
  uint64_t attributesBefore = 0, attributesAfter = 0;
  std::string owner; // the image that allocated it, or ""
};

struct SpiOpcode {
  uint8_t opcode;
  std::string name;
  bool restricted;
};

struct SpiRecord {
  uint64_t base = 0;
  SpiRegisters before, after;
  bool protect = false, lock = false, writeBufferEnabled = false;
  bool spiControlBit22 = false;
  std::vector<SpiOpcode> opcodes;
  std::optional<size_t> armedAt;        // trace entry of the write that set the protect bit
  std::optional<size_t> firstPortOffAt; // trace entry of the first call that switched a port off
  std::optional<std::string> firstPortOffBy;
};

struct DieRecord {
  uint8_t die = 0;
  uint8_t bus = 0;
  uint32_t portDisable = 0; // indirect register 0x03101800 as the boot left it
  std::vector<unsigned> disabledPorts;
};

struct PcdWriteRecord {
  uint64_t token = 0;
  unsigned size = 0;
  uint64_t value = 0;
  std::optional<std::string> pointsTo; // "pool[0]+0x0": the value is a live pool address
  std::string status;
  std::string owner;
};

struct NvramReadRecord {
  std::string name;
  std::string status;
  std::string callerError; // "" when the caller kept the rules
};

struct FatalStopRecord {
  uint32_t code = 0;
  std::vector<uint32_t> windows;
  bool halted = false;
};

struct PoolRecord {
  size_t size = 0;
  std::string type; // "EfiRuntimeServicesData", ...
  std::string owner;
  std::string name; // "pool[0]"
  bool s3PrivateData = false;
  bool s3Table = false;
};

struct UartRecord {
  uint16_t base = 0;
  bool present = true;
  std::string bytes;   // as sent on the line
  std::string written; // as the firmware wrote it to the transmit holding register
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

struct FailureRuleRecord {
  std::string service;
  unsigned call = 0;
  std::string status;
  std::optional<std::string> guid;
  unsigned hits = 0;
};

struct S3LibraryRecord {
  std::string
      state; // "no-private-data", "before-ready-to-lock", "recording", "closed", "private-data-not-pool"
  std::optional<std::string> privateData; // its pool name
  std::optional<S3PrivateData> data;
  std::optional<std::string> tableBase; // pool name, "freed", or null when 0
  std::optional<S3TableDecode> liveTable;
};

struct SmmCallRecord {
  std::string buffer;
  std::optional<uint64_t> commSize;
  std::string status;
  bool accepted = false;
  std::string reason;
  std::vector<uint8_t> message;
  std::string privateDataName, tableName;
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
  std::map<uint64_t, uint64_t> pcd;                         // tokens 228-236 written
  std::map<uint8_t, uint32_t> dieDisableBits;               // die -> port bits (16-23) set
};

struct CheckResult {
  std::string name;
  std::string verdict; // "pass", "fail", "warn", "not-applicable"
  std::string reason;
  std::vector<std::string> evidence;
  std::optional<std::string> expected; // the board's [expect] verdict, when it states one
};

struct BootRecord {
  std::string boardName, boardSource;
  bool completed = false;
  std::optional<std::string> haltReason, haltDetail;
  std::optional<std::string> entryStatus;
  uint64_t virtualTimeNs = 0;
  std::vector<RecordedStep> timeline;
  bool endOfDxeSignalled = false;
  unsigned readyToBootSignals = 0;
  std::vector<RecordedEvent> events;
  std::vector<MapChange> mapChanges;
  std::vector<GcdRange> gcd;
  std::optional<SpiRecord> spi;
  bool usbPortControlInstalled = false;
  std::vector<PortMaskCall> portMaskCalls;
  uint32_t portGroupsOff = 0;
  bool mc5744Installed = false;
  std::vector<HubCall> hubCalls;
  std::array<uint32_t, 4> hubEnables{1, 1, 1, 1};
  std::vector<DieRecord> dies;
  std::vector<PcdWriteRecord> pcdWrites;
  std::map<uint64_t, uint64_t> pcdAfter; // tokens 228-236 as the boot left them, where set
  bool nvramInstalled = false;
  std::vector<NvramReadRecord> nvramReads;
  S3Record s3;
  ConsoleRecord console;
  std::vector<AssertionRecord> assertions;
  uint64_t breakpoints = 0;
  std::vector<FatalStopRecord> fatalStops;
  std::vector<PostCodePorts::Write> postCodes;
  std::vector<PoolRecord> pool;
  std::vector<std::string> injected;
  std::vector<FailureRuleRecord> failureRules;
  std::vector<std::string> diagnostics;
  // The board's policy, as the reference model reads it, and what it calls for.
  std::optional<PolicyOutcome> expectedPolicy;
  std::string policyNote; // why no expectation could be formed, when expectedPolicy is empty
  PolicyOutcome actualPolicy;
  std::vector<CheckResult> checks;
  // "KeshInitDxe KeshOnEndOfDxe" by trace context number (0: no code known).
  std::vector<std::string> codeNames;
  // Check outcomes the board does not state in [expect]: failures (and any
  // verdict other than the one expected), and warnings.
  size_t unexpectedFailures() const;
  size_t unexpectedWarnings() const;
};

// Built by Simulation::run() at the end of the boot.
BootRecord recordBoot(Simulation &simulation);

} // namespace sim
