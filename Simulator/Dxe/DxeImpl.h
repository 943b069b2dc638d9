// SPDX-License-Identifier: BSD-2-Clause-Patent
// State of the simulated DXE core shared by its source files. Each area
// (events, protocols, memory, GCD, PCD, variables) fills its table slots
// with EFIAPI services that reach this state through active().
#pragma once

#include "Dxe/DxeCore.h"

#include <Guid/DxeServices.h>
#include <Guid/EventGroup.h>
#include <Guid/HobList.h>

#include <deque>
#include <string>
#include <unordered_map>

namespace sim {

struct DxeCore::Impl {
  explicit Impl(Machine &machine);
  ~Impl();
  Impl(const Impl &) = delete;
  Impl &operator=(const Impl &) = delete;
  void start(); // builds the tables and installs the core's own protocols

  Machine &machine;

  // Tables.
  EFI_SYSTEM_TABLE system{};
  EFI_BOOT_SERVICES boot{};
  EFI_RUNTIME_SERVICES runtime{};
  DXE_SERVICES dxe{};
  PCD_PROTOCOL pcd{};
  std::u16string vendor = u"Kesh Simulator";
  std::vector<EFI_CONFIGURATION_TABLE> config;
  bool runtimePresent = true;
  // Points the system table at the current arrays and refreshes the CRCs.
  void publishTables();
  // The InstallConfigurationTable semantics, including the group signal.
  EFI_STATUS setConfigurationTable(const EFI_GUID &guid, void *table);

  // Attribution, misuse and failure injection.
  std::string image = "DxeCore";
  // The code that has run, numbered from 1 in the order first seen: an
  // image and the function the core called in it.
  std::vector<CodeContext> codeContexts;
  uint32_t codeContext(const std::string &owner, const void *function);
  // For the boot's timeline: calls into images, signals, installs.
  std::vector<ImageCall> imageCalls;
  unsigned openCalls = 0;
  size_t beginImageCall(uint32_t context);
  void endImageCall(size_t call, ImageCallEnd end);
  std::vector<SignalNote> signalNotes;
  std::vector<InstallNote> installNotes;
  std::vector<std::string> diagnostics;
  FailurePlan failures;
  bool exited = false;
  void diagnose(std::string_view message);
  // Entry of every status-returning service: failure rule, then the misuse
  // checks (after ExitBootServices unless runtime, above the allowed TPL).
  std::optional<EFI_STATUS> enter(std::string_view service, EFI_TPL maxTpl, const EFI_GUID *guid = nullptr,
                                  bool runtimeService = false);
  // Entry of a service without a status: counted and checked, never failed.
  void enterCounted(std::string_view service, EFI_TPL maxTpl);
  // The notify functions running, innermost last (for call attribution).
  std::vector<uintptr_t> notifyStack;
  CallSite site() const;
  // Signals the exit-boot-services group, then marks boot services gone.
  void exitBootServices();

  // TPL and events.
  EFI_TPL tpl = TPL_APPLICATION;
  struct EventState {
    std::unique_ptr<uint64_t> token; // its address is the handle
    bool signaled = false;
    bool pending = false;
  };
  std::vector<EventInfo> events;
  std::vector<EventState> eventStates;
  std::unordered_map<const void *, size_t> eventIndex;
  std::map<EFI_TPL, std::deque<size_t>> pending; // FIFO per notify TPL
  void setTpl(EFI_TPL level);
  EFI_TPL raiseTpl(EFI_TPL level);
  void restoreTpl(EFI_TPL level);
  // Runs every queued notify above `level`, highest TPL first, then settles at `level`.
  void dispatchAbove(EFI_TPL level);
  EFI_STATUS createEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, void *context,
                         const EFI_GUID *group, EFI_EVENT *event);
  std::optional<size_t> openEvent(EFI_EVENT event) const;
  void signal(size_t index); // a notify-signal group member signals its whole group
  void signalOne(size_t index);
  void signalGroup(const EFI_GUID &group);
  void queueNotify(size_t index);
  void unqueue(size_t index);
  EFI_STATUS closeEvent(EFI_EVENT event);

  // Protocol database.
  struct Interface {
    EFI_GUID guid;
    void *iface;
    uint64_t seq; // install order; a reinstall counts as a new install
  };
  struct HandleRecord {
    std::unique_ptr<uint64_t> token;
    std::vector<Interface> interfaces;
    bool pinned; // created by the platform: lives on without protocols
    bool alive;
  };
  struct Registration {
    std::unique_ptr<uint64_t> token;
    EFI_GUID guid;
    size_t event;
    uint64_t position; // install sequence of the last interface handed out
    bool alive;
  };
  std::vector<HandleRecord> handles;
  std::unordered_map<const void *, size_t> handleIndex;
  std::vector<Registration> registrations;
  std::unordered_map<const void *, size_t> registrationIndex;
  uint64_t installSeq = 0;
  EFI_HANDLE pcdHandle = nullptr;
  EFI_HANDLE newHandle(bool pinned);
  std::optional<size_t> liveHandle(EFI_HANDLE handle) const;
  EFI_STATUS install(EFI_HANDLE *handle, const EFI_GUID &guid, void *iface);
  EFI_STATUS uninstall(EFI_HANDLE handle, const EFI_GUID &guid, void *iface);
  void notifyInstalled(const EFI_GUID &guid);
  // The live interface of `guid` installed first after install sequence `after`.
  std::optional<std::pair<size_t, size_t>> nextInterface(const EFI_GUID &guid, uint64_t after) const;
  std::optional<size_t> liveRegistration(const void *key) const;
  void dropRegistrations(size_t event);

  // Pool.
  std::map<uint64_t, PoolBlock> pool; // by allocation sequence
  std::unordered_map<const void *, uint64_t> poolIndex;
  uint64_t poolSeq = 0;
  EFI_STATUS allocatePool(EFI_MEMORY_TYPE type, size_t size, void **buffer);
  EFI_STATUS freePool(void *buffer);
  // Freed blocks held back from reuse, oldest first (see DxeCore::checkFreedPool).
  std::deque<FreedPoolBlock> quarantine;
  size_t quarantineBytes = 0;
  const FreedPoolBlock *freedBlock(uint64_t address) const;
  void checkQuarantine();
  void releaseOldestFreed();

  // GCD memory space: sorted, non-overlapping; gaps are outside the map.
  std::vector<GcdRange> gcd;
  void gcdInsert(GcdRange range);

  // PCD.
  std::map<UINTN, PcdToken> pcdTokens;
  std::vector<PcdWrite> pcdWrites;

  // Variables, keyed by name and GUID text.
  struct Variable {
    std::vector<uint8_t> data;
    UINT32 attributes;
  };
  std::map<std::pair<std::u16string, std::string>, Variable> variables;

  // HOB list.
  std::vector<uint8_t> hobs;
  void insertHob(const uint8_t *bytes, size_t size);
};

// The one live core the table services act on.
DxeCore::Impl &active();

// Each area fills its slots of the tables.
void installEventServices(EFI_BOOT_SERVICES &boot);
void installProtocolServices(EFI_BOOT_SERVICES &boot);
void installMemoryServices(EFI_BOOT_SERVICES &boot);
void installVariableServices(EFI_RUNTIME_SERVICES &runtime);
void installGcdServices(DXE_SERVICES &dxe);
void installPcdServices(PCD_PROTOCOL &pcd);

// Runs code as another image for the scope's lifetime.
// Runs a function of an image: attribution of what it calls and of the
// machine accesses it makes.
class CodeScope {
public:
  CodeScope(DxeCore::Impl &core, const std::string &owner, const void *function)
      : core_(core), saved_(core.machine.context()) {
    core_.machine.setContext(core_.codeContext(owner, function));
  }
  ~CodeScope() { core_.machine.setContext(saved_); }
  CodeScope(const CodeScope &) = delete;
  CodeScope &operator=(const CodeScope &) = delete;

private:
  DxeCore::Impl &core_;
  uint32_t saved_;
};

class ImageScope {
public:
  ImageScope(DxeCore::Impl &core, std::string name) : core_(core), saved_(std::move(core.image)) {
    core_.image = std::move(name);
  }
  ~ImageScope() { core_.image = std::move(saved_); }
  ImageScope(const ImageScope &) = delete;
  ImageScope &operator=(const ImageScope &) = delete;

private:
  DxeCore::Impl &core_;
  std::string saved_;
};

} // namespace sim
