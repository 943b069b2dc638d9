// SPDX-License-Identifier: BSD-2-Clause-Patent
// The simulated DXE core: the system, boot, runtime and DXE services
// tables, events and TPL, the protocol database, pool, the GCD memory map,
// the PCD protocol, variables and the HOB list that a DXE driver sees when
// the simulator boots it. Every service can be made to fail on demand and
// every misuse the core notices is recorded as a diagnostic.
#pragma once

#include <Uefi.h>
#include <Pi/PiDxeCis.h>
#include <Pi/PiHob.h>
#include <Protocol/Pcd.h>

#include "Host/FaultGuard.h"
#include "Machine/Machine.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim {

// Failure injection: every simulated firmware service consults it first.
struct FailureRule {
  std::string service;
  // 1-based nth call of that service; 0 = every call. With a GUID the count
  // is of the calls about that GUID only, so a rule does not depend on how
  // many unrelated calls happen first.
  unsigned call = 0;
  EFI_STATUS status = EFI_DEVICE_ERROR;
  // Only calls about this GUID: the protocol of LocateProtocol,
  // HandleProtocol, InstallProtocolInterface, ReinstallProtocolInterface,
  // UninstallProtocolInterface, RegisterProtocolNotify and LocateHandle;
  // the first GUID of Install/UninstallMultipleProtocolInterfaces; the
  // group of CreateEventEx; the table of InstallConfigurationTable; the
  // vendor GUID of GetVariable/SetVariable.
  std::optional<EFI_GUID> guid;
};

// A call that a rule made fail.
struct FailureHit {
  size_t rule; // index among the rules, in the order added
  std::string service;
  unsigned call; // counted as the rule counts
  std::optional<EFI_GUID> guid;
  EFI_STATUS status;
};

// Who made a call: the image whose code runs and the notify function
// running, if any (its address in that image; 0 outside notify functions).
struct CallSite {
  std::string_view image;
  uintptr_t notify = 0;
};

// One counted call, in the order made. The names are the plan's own copies,
// kept once per name however often it calls: valid while the plan lives
// and until it is cleared.
struct ServiceCall {
  std::string_view service;
  unsigned nth = 0; // among the calls of this service, from 1
  std::string_view image;
  uintptr_t notify = 0;
  std::optional<EFI_GUID> guid;
  bool failable = true; // false: the service has no outcome a rule could change
  std::optional<EFI_STATUS> injected;
  // What the call named besides a GUID: a variable's or attribute's name,
  // "token 228" for a PCD; empty when nothing.
  std::string subject;
};

// What a lookup among the logged calls found: a protocol, a variable, an
// attribute or an answer of the platform. `call` indexes the log.
struct LookupNote {
  size_t call = 0;
  EFI_STATUS status = EFI_SUCCESS;
  std::optional<uint64_t> key; // what was asked by number (a platform-state selector)
  std::vector<uint8_t> value;  // what the caller got back, on success
};

class FailurePlan {
public:
  FailurePlan() = default;
  // The log views names the plan holds: a copy would view the original's.
  // A move keeps them where they are.
  FailurePlan(const FailurePlan &) = delete;
  FailurePlan &operator=(const FailurePlan &) = delete;
  FailurePlan(FailurePlan &&) = default;
  FailurePlan &operator=(FailurePlan &&) = default;
  void add(FailureRule rule);
  void clear();
  // Counts the call (per service name) and returns the status to fail with,
  // if a rule matches. The first matching rule wins.
  std::optional<EFI_STATUS> check(std::string_view service, const EFI_GUID *guid = nullptr,
                                  CallSite site = {});
  // Counts a call of a service that cannot fail (RaiseTPL, CopyMem, ...).
  void count(std::string_view service, CallSite site = {});
  // Names what the call just counted was about (ServiceCall::subject).
  void noteSubject(std::string subject);
  unsigned calls(std::string_view service) const;
  unsigned calls(std::string_view service, const EFI_GUID &guid) const;
  // "CreateEventEx call 1 -> Out of Resources" lines, in order; a rule that
  // matched by GUID adds it: "LocateProtocol call 2 (GUID <guid>) -> Not Found".
  std::vector<std::string> injected() const { return injected_; }
  // Every counted call, in order.
  const std::vector<ServiceCall> &log() const { return log_; }
  // The calls the rules made fail, in order.
  const std::vector<FailureHit> &hits() const { return hits_; }
  // What the last call logged found. Lookups make no calls of their own,
  // so the last call is theirs.
  void noteLookup(EFI_STATUS status, std::vector<uint8_t> value = {},
                  std::optional<uint64_t> key = std::nullopt);
  const std::vector<LookupNote> &lookups() const { return lookups_; }

private:
  unsigned countCall(std::string_view service, const EFI_GUID *guid, CallSite site, bool failable);
  std::vector<FailureHit> hits_;
  std::vector<FailureRule> rules_;
  std::map<std::string, unsigned, std::less<>> calls_;
  struct GuidCall {
    std::string_view service; // a key of calls_
    std::array<uint8_t, sizeof(EFI_GUID)> guid;
    bool operator==(const GuidCall &) const = default;
  };
  // A boot asks about a few dozen GUIDs: a scan beats a tree's allocations.
  std::vector<std::pair<GuidCall, unsigned>> guidCalls_;
  std::set<std::string, std::less<>> images_; // the names ServiceCall::image views
  std::vector<std::string> injected_;
  std::vector<ServiceCall> log_;
  std::vector<LookupNote> lookups_;
};

// For the models of the protocols other platform modules install: counts a
// call of `service` ("VroSata.GetPortList") by the running image in the
// current thread's core and returns the status to fail it with, if a rule
// says so. Without a core, nothing is counted and nothing fails.
std::optional<EFI_STATUS> platformServiceCall(std::string_view service, const EFI_GUID *guid = nullptr);
// What the platform-protocol call just counted found (FailurePlan::noteLookup).
void platformLookupResult(EFI_STATUS status, std::vector<uint8_t> value = {},
                          std::optional<uint64_t> key = std::nullopt);
// Names what the call platformServiceCall just counted was about.
void platformCallSubject(std::string subject);
// A CHAR16 name as a subject: ASCII, at most 64 characters (then "...").
std::string subjectName(const CHAR16 *name);

// "Success", "Not Found", ... as the firmware's %r prints them; an unknown
// status gives 8 upper-case hex digits of its low 32 bits.
std::string statusName(EFI_STATUS status);
// Accepts the EFI_NOT_FOUND style macro names and the %r names.
std::optional<EFI_STATUS> statusFromName(std::string_view name);
// "EFI_NOT_FOUND": the macro name of a status that has one.
std::optional<std::string_view> statusMacroName(EFI_STATUS status);
std::string guidToString(const EFI_GUID &guid); // "30CFE3E7-3DE1-4586-BE20-DEABA1B3B793"
std::optional<EFI_GUID> guidFromString(std::string_view text);
// A firmware name (CHAR16) as text: printable ASCII as it is, anything else
// as \uXXXX, so that no two names read the same.
std::string firmwareText(std::u16string_view text);
bool sameGuid(const EFI_GUID &a, const EFI_GUID &b);
// The CRC-32 of the boot service CalculateCrc32 and the table headers.
uint32_t crc32(const void *data, size_t size);
std::string tplName(EFI_TPL tpl);

// The group of EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE events.
inline EFI_GUID gSimVirtualAddressChangeGroupGuid = {
    0x13FA7698, 0xC831, 0x49C7, {0x87, 0xEA, 0x8F, 0x43, 0xFC, 0xC2, 0x51, 0x96}};

// Variable attributes.
inline constexpr UINT32 kVariableNonVolatile = 0x1;
inline constexpr UINT32 kVariableBootServiceAccess = 0x2;
inline constexpr UINT32 kVariableRuntimeAccess = 0x4;

struct EventInfo {
  EFI_EVENT handle;
  UINT32 type;
  EFI_TPL notifyTpl;
  EFI_EVENT_NOTIFY notify;
  void *context;
  std::optional<EFI_GUID> group;
  std::string owner; // image name current at creation
  bool closed;
  uint64_t signals;
  uint64_t notifies;
  // The protocol whose installations it was last registered for, if any.
  std::optional<EFI_GUID> notifyProtocol = std::nullopt;
};

struct PoolBlock {
  void *address;
  size_t size;
  EFI_MEMORY_TYPE type;
  std::string owner;
};

// A freed pool block kept back from reuse, with its bytes as they were
// when freed, so that later writes to it and a second free can be told.
struct FreedPoolBlock {
  PoolBlock block;
  std::string freedBy; // the image that freed it
  std::vector<uint8_t> bytes;
};

struct GcdRange {
  uint64_t base, length, capabilities, attributes;
  EFI_GCD_MEMORY_TYPE type;
  EFI_HANDLE image, device;
};

// The owner of a range another platform module allocated before the
// driver ran: a handle no image has, never dereferenced.
inline EFI_HANDLE platformGcdOwner() {
  static char owner;
  return &owner;
}

struct PcdToken {
  unsigned size; // 1, 2, 4 or 8 bytes
  uint64_t value;
};

struct PcdWrite {
  UINTN token;
  unsigned size;
  uint64_t value;
  std::string owner;
  EFI_STATUS status;
};

// A function of an image that the core or the platform called.
struct CodeContext {
  std::string image;
  const void *function;
};

// How a call of the core into an image ended.
enum class ImageCallEnd : uint8_t { Returned, Halted, DriverFault };

// One call of the core into an image (an entry point or a notify
// function), in virtual time: the code context names the image and the
// function. Depth counts the calls it runs inside of.
struct ImageCall {
  uint32_t context = 0;
  EFI_TPL tpl = TPL_APPLICATION;
  uint64_t startNs = 0, endNs = 0;
  ImageCallEnd end = ImageCallEnd::Returned;
  unsigned depth = 0;
};

// An event signalled, or a whole group: when, and by which image.
struct SignalNote {
  uint64_t timeNs = 0;
  std::optional<EFI_GUID> group; // none: one event, by its creation index
  size_t event = 0;
  std::string by;
};

// A protocol interface installed (or reinstalled): when, and by which image.
struct InstallNote {
  uint64_t timeNs = 0;
  EFI_GUID protocol{};
  std::string by;
};

class DxeCore {
public:
  // At most one DxeCore exists at a time in each thread: the table
  // services find it through a thread-local pointer, so boots on different
  // threads are independent. A second one in a thread throws
  // std::logic_error.
  explicit DxeCore(Machine &machine);
  ~DxeCore(); // frees all pool, handles, events
  DxeCore(const DxeCore &) = delete;
  DxeCore &operator=(const DxeCore &) = delete;

  EFI_SYSTEM_TABLE *systemTable();
  DXE_SERVICES *dxeServices();
  PCD_PROTOCOL *pcdProtocol();
  EFI_HANDLE pcdHandle() const; // the core's own handle carrying the PCD protocol
  // Default EFI_2_70_SYSTEM_TABLE_REVISION; only the system table header.
  void setSystemTableRevision(UINT32 revision);
  void setRuntimeServicesPresent(bool present); // false -> SystemTable->RuntimeServices = nullptr
  void setDxeServicesPresent(bool present);     // false -> no gEfiDxeServicesTableGuid entry
  void installConfigurationTable(const EFI_GUID &guid, void *table); // replaces the entry, NULL removes
  void appendConfigurationTable(const EFI_GUID &guid, void *table);  // appends even if the GUID exists

  // HOB list: built in a byte vector owned by the core, installed as
  // gEfiHobListGuid on the first add (handoff HOB first, end HOB last).
  void addGuidHob(const EFI_GUID &name, const std::vector<uint8_t> &data);
  void addRawHob(const std::vector<uint8_t> &bytes); // appended verbatim before the end HOB
  const std::vector<uint8_t> &hobList() const;

  // Image attribution: the image whose code runs now (the owner of events,
  // pool and PCD writes). A notify function runs as its event's owner.
  void setCurrentImage(std::string name);
  const std::string &currentImage() const;
  // Numbers the function of an image that starts running, for the machine
  // trace (Machine::setContext); context n is codeContexts()[n - 1].
  uint32_t codeContext(const std::string &image, const void *function);
  const std::vector<CodeContext> &codeContexts() const;
  const std::vector<ImageCall> &imageCalls() const;
  const std::vector<SignalNote> &signalNotes() const;
  const std::vector<InstallNote> &installNotes() const;
  size_t beginImageCall(uint32_t context);
  void endImageCall(size_t call, ImageCallEnd end);

  // Protocol database, as the platform would install things.
  EFI_HANDLE createHandle(); // stays valid even without protocols
  EFI_STATUS installProtocol(EFI_HANDLE *handle, const EFI_GUID &guid, void *iface);
  EFI_STATUS uninstallProtocol(EFI_HANDLE handle, const EFI_GUID &guid, void *iface);
  bool hasProtocol(const EFI_GUID &guid) const;
  std::vector<std::pair<EFI_HANDLE, EFI_GUID>> protocols() const; // in install order

  // Timeline actions, run at TPL_APPLICATION as the DXE core would.
  void signalEventGroup(const EFI_GUID &group);
  // Signals the exit-boot-services group; boot services keep working
  // afterwards but each call records "<service> called after ExitBootServices".
  void exitBootServices();
  bool bootServicesExited() const;
  EFI_TPL currentTpl() const;

  // Observation.
  const std::vector<EventInfo> &events() const; // every event ever created, in creation order
  std::vector<PoolBlock> poolInUse() const;     // outstanding allocations, in allocation order
  // Freed blocks still held back from reuse, oldest first. A block leaves
  // when the quarantine holds more than kPoolQuarantineBlocks blocks or
  // kPoolQuarantineBytes bytes, after a last check.
  static constexpr size_t kPoolQuarantineBlocks = 64;
  static constexpr size_t kPoolQuarantineBytes = size_t{4} << 20;
  const FreedPoolBlock *freedPoolBlock(uint64_t address) const; // the block holding it, or null
  // Compares every held-back block with its bytes at the free and records
  // "use after free: ..." for each one written since (once per write).
  // Runs at every AllocatePool and FreePool and at the end of a boot.
  void checkFreedPool();
  const std::vector<PcdWrite> &pcdWrites() const;
  std::map<UINTN, PcdToken> &pcdTokens(); // the dynamic token store; boards fill it before boot
  std::vector<GcdRange> gcdMap() const;
  // Board setup; keeps the map sorted and non-overlapping (throws
  // std::invalid_argument on overlap or an empty range).
  void gcdAdd(GcdRange range);
  void setVariable(const std::u16string &name, const EFI_GUID &guid, std::vector<uint8_t> data,
                   UINT32 attributes = 7);
  std::optional<std::vector<uint8_t>> variable(const std::u16string &name, const EFI_GUID &guid) const;
  FailurePlan &failures();
  // Misuse seen by the core, each line "<image>: <what>".
  const std::vector<std::string> &diagnostics() const;

  // The services' state, shared by the core's source files.
  struct Impl;
  Impl &impl() { return *impl_; }

private:
  std::unique_ptr<Impl> impl_;
};

// Runs a function of an image under the fault guard as code context
// `context`, and notes the call with the core (a DxeCore or its state): a
// fault becomes DriverFault, a halt of the machine passes through.
template <typename Core, typename F> void callImage(Core &core, uint32_t context, F &&body) {
  size_t call = core.beginImageCall(context);
  std::optional<HostFault> fault;
  try {
    fault = runGuarded(body);
  } catch (const DriverFault &) {
    core.endImageCall(call, ImageCallEnd::DriverFault); // a call it made faulted
    throw;
  } catch (...) {
    core.endImageCall(call, ImageCallEnd::Halted);
    throw;
  }
  if (fault) {
    core.endImageCall(call, ImageCallEnd::DriverFault);
    throw DriverFault{*fault, context};
  }
  core.endImageCall(call, ImageCallEnd::Returned);
}

} // namespace sim
