// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim ovmf: a board as the OVMF fixture runs it, and its twin in the
// simulator.
//
// OVMF under QEMU gives the driver a different machine: no hub behind the
// ports (no SPI bridge, no die root devices, no PCI configuration window),
// PCI enumeration and SMM ready-to-lock complete before anything can be
// loaded, and the ACPI MMIO page added by the fixture. The twin is the
// board with exactly those changes. Whatever else OVMF cannot give (failure
// injection, another firmware revision, HOBs, variables, a sleep) refuses
// the board, with the reason.
//
// The command writes the fixture's configuration block (FixtureConfig.h)
// and boots the twin, writing what it did in the fixture's record form:
// the driver's UART bytes and one line per platform-protocol call, PCD
// write, S3 hand-off, debug-print line, GCD descriptor and debug mask.
// scripts/ovmf-boot.py compares that with the OVMF run.
#include "Ovmf.h"
#include "Boot/Report.h"

#include "Boot/Boot.h"
#include "Boot/Record.h"
#include "ExitStatus.h"
#include "Host/OutputFile.h"
#include "Machine/PciMmioWindow.h"

#include <Protocol/DebugMask.h>
#include <OvmfFixtureDxe/FixtureConfig.h>
#include <PlatformProtocols.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

namespace {

constexpr uint64_t kAcpiMmioPage = 0xFED80000;
constexpr uint32_t kOvmfSystemTableRevision = EFI_2_70_SYSTEM_TABLE_REVISION;
// Runtime and port I/O: what EDK II's GCD adds to an MMIO range's capabilities.
constexpr uint64_t kEdk2MmioCapabilities = EFI_MEMORY_RUNTIME | 0x4000000000000000ULL;

using dxesim::OvmfTwin;
using Twin = OvmfTwin;

bool ascii(const std::u16string &text) {
  for (char16_t unit : text) {
    if (unit == 0 || unit >= 0x80) {
      return false;
    }
  }
  return true;
}

// Copies ASCII text into a fixed field; false when it does not fit.
bool putText(char *field, const std::u16string &text) {
  if (!ascii(text) || text.size() >= KESH_OVMF_TEXT) {
    return false;
  }
  for (size_t i = 0; i < text.size(); i++) {
    field[i] = static_cast<char>(text[i]);
  }
  field[text.size()] = '\0';
  return true;
}

std::string narrow(const std::u16string &text) {
  std::string out;
  for (char16_t unit : text) {
    out += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return out;
}

void refuseUnsupported(const sim::Board &board, std::vector<std::string> &refusals) {
  if (!board.failures.empty()) {
    refusals.push_back("failure injection ([[fail]]): OVMF's services fail only on their own");
  }
  if (board.systemTableRevision != kOvmfSystemTableRevision) {
    refusals.push_back(fmt::format("firmware revision 0x{:08X}: OVMF's system table is 0x{:08X}",
                                   board.systemTableRevision, kOvmfSystemTableRevision));
  }
  if (!board.runtimeServices || !board.dxeServices) {
    refusals.push_back("a system table without runtime or DXE services: OVMF has both");
  }
  if (!board.hobs.empty() || !board.hobLists.empty()) {
    refusals.push_back("HOBs ([[hob]], [[hob_list]]): OVMF's HOB list is its own");
  }
  if (!board.variables.empty()) {
    refusals.push_back("variables ([[variable]]): OVMF's variable store is its own");
  }
  if (board.s3.resume || !board.s3.lose.empty()) {
    refusals.push_back("a sleep and resume ([s3] resume, lose): OVMF's run ends at the last step");
  }
  if (board.debugEnvironmentAnswer != 0) {
    refusals.push_back("a debug-environment answer other than 0: QEMU answers as hardware does");
  }
  for (const auto &[name, uart] : {std::pair{"0x3F8", board.uart3F8}, std::pair{"0x2F8", board.uart2F8}}) {
    if (!uart.present || uart.fifoReportsOff || uart.neverDrains || uart.divisor || uart.lcr || uart.mcr ||
        uart.fcr) {
      refusals.push_back(fmt::format("UART {} fitted or left set up otherwise: QEMU's UARTs are plain 16550s "
                                     "that OVMF set up",
                                     name));
    }
  }
}

void fillProtocols(const sim::Board &board, KESH_OVMF_CONFIG &config, std::vector<std::string> &refusals) {
  if (board.nvram) {
    config.Protocols |= KESH_OVMF_NVRAM;
    if (board.nvram->values.size() > KESH_OVMF_MAX_ATTRIBUTES) {
      refusals.push_back(fmt::format("more than {} NVRAM attributes", KESH_OVMF_MAX_ATTRIBUTES));
    } else {
      for (const auto &[name, value] : board.nvram->values) {
        KESH_OVMF_ATTRIBUTE &attribute = config.Attributes[config.AttributeCount++];
        if (!putText(attribute.Name, name) || !putText(attribute.Value, value)) {
          refusals.push_back(fmt::format("NVRAM attribute {}: name and value must be ASCII of at most {} "
                                         "characters",
                                         narrow(name), KESH_OVMF_TEXT - 1));
        }
        attribute.Unterminated = board.nvram->unterminated.count(name) != 0 ? 1 : 0;
      }
    }
  }
  if (board.identity) {
    config.Protocols |= KESH_OVMF_IDENTITY;
    config.SystemId = board.identity->systemId;
    using GetId = sim::IdentityConfig::GetId;
    config.GetIdAnswer = board.identity->getId == GetId::Fail         ? KESH_OVMF_ANSWER_FAIL
                         : board.identity->getId == GetId::NullRecord ? KESH_OVMF_ANSWER_NULL
                                                                      : KESH_OVMF_ANSWER_OK;
    if (board.identity->states.size() > KESH_OVMF_MAX_STATES) {
      refusals.push_back(fmt::format("more than {} platform-state answers", KESH_OVMF_MAX_STATES));
    } else {
      for (const auto &[selector, answer] : board.identity->states) {
        config.States[config.StateCount++] = {selector, answer, {}};
      }
    }
  }
  if (board.sata) {
    config.Protocols |= KESH_OVMF_SATA;
    config.SataMode = board.sata->mode;
    config.SataConfigFails = board.sata->getConfigFails ? 1 : 0;
    config.PortListAnswer = board.sata->getPortListFails ? KESH_OVMF_ANSWER_FAIL
                            : board.sata->nullArray      ? KESH_OVMF_ANSWER_NULL
                                                         : KESH_OVMF_ANSWER_OK;
    if (board.sata->ports.size() > KESH_OVMF_MAX_PORTS) {
      refusals.push_back(fmt::format("more than {} SATA ports", KESH_OVMF_MAX_PORTS));
    } else {
      for (const sim::SataPortConfig &port : board.sata->ports) {
        KESH_OVMF_PORT &out = config.Ports[config.PortCount++];
        out.NullName = port.name ? 0 : 1;
        out.AhciPort = port.ahciPort;
        out.Die = port.die;
        if (port.name && !putText(out.Name, *port.name)) {
          refusals.push_back(fmt::format("SATA port {}: the name must be ASCII of at most {} characters",
                                         narrow(*port.name), KESH_OVMF_TEXT - 1));
        }
      }
    }
  }
  config.Protocols |= board.usbPortControl ? KESH_OVMF_USB_PORT_CONTROL : 0;
  config.Protocols |= board.mc5744 ? KESH_OVMF_MC5744 : 0;
  config.Protocols |= board.smmCommunication ? KESH_OVMF_SMM_COMMUNICATION : 0;
  if (board.debugPrintService) {
    config.Protocols |= KESH_OVMF_DEBUG_PRINT_SERVICE;
    config.DebugPrintFilters = board.debugPrintService->filters;
  }
}

} // namespace

OvmfTwin dxesim::makeOvmfTwin(const sim::Board &board) {
  Twin twin;
  twin.board = board;
  KESH_OVMF_CONFIG &config = twin.config;
  config.Magic = KESH_OVMF_CONFIG_MAGIC;
  config.Version = KESH_OVMF_CONFIG_VERSION;
  config.Size = sizeof(KESH_OVMF_CONFIG);
  refuseUnsupported(board, twin.refusals);
  fillProtocols(board, config, twin.refusals);

  config.CmosSpeed = board.cmos[sim::kCmosConsoleSpeed];
  for (unsigned i = 0; i < 4; i++) {
    config.CmosLevel[i] = board.cmos[sim::kCmosErrorLevel + i];
  }
  config.CommBufferSize = board.s3.commBufferSize;

  // Tokens 214 and 215 always exist, as on every board.
  std::map<UINTN, sim::PcdToken> pcd = board.pcd;
  pcd.try_emplace(214, sim::PcdToken{8, 0});
  pcd.try_emplace(215, sim::PcdToken{8, 0});
  if (pcd.size() > KESH_OVMF_MAX_PCD) {
    twin.refusals.push_back(fmt::format("more than {} PCD tokens", KESH_OVMF_MAX_PCD));
  } else {
    for (const auto &[token, value] : pcd) {
      config.Pcd[config.PcdCount++] = {static_cast<UINT32>(token), value.size, value.value};
    }
  }

  // The steps: PCI enumeration and SMM ready-to-lock happened before the
  // shell started; the others the phase application performs in order.
  std::vector<sim::Step> steps = {sim::Step::PciEnumerationComplete, sim::Step::SmmReadyToLock};
  bool exited = false;
  for (sim::Step step : board.timeline) {
    if (step == sim::Step::PciEnumerationComplete || step == sim::Step::SmmReadyToLock) {
      continue;
    }
    if (exited) {
      twin.refusals.push_back(fmt::format(
          "step {} after exit-boot-services: nothing runs after it under OVMF", sim::stepName(step)));
      break;
    }
    static const std::map<sim::Step, UINT8> kCodes = {
        {sim::Step::Load, KESH_OVMF_STEP_LOAD},
        {sim::Step::LoadS3Client, KESH_OVMF_STEP_LOAD_S3_CLIENT},
        {sim::Step::EndOfDxe, KESH_OVMF_STEP_END_OF_DXE},
        {sim::Step::ReadyToBoot, KESH_OVMF_STEP_READY_TO_BOOT},
        {sim::Step::ExitBootServices, KESH_OVMF_STEP_EXIT_BOOT_SERVICES}};
    if (config.StepCount == KESH_OVMF_MAX_STEPS) {
      twin.refusals.push_back(fmt::format("more than {} steps", KESH_OVMF_MAX_STEPS));
      break;
    }
    config.Steps[config.StepCount++] = kCodes.at(step);
    steps.push_back(step);
    exited = step == sim::Step::ExitBootServices;
  }
  if (steps != board.timeline) {
    twin.changes.push_back(
        "PCI enumeration complete and SMM ready-to-lock installed before every other step");
  }
  twin.board.timeline = steps;

  // The hub is not there: nothing answers at its configuration spaces, the
  // SPI bridge's base register or the window's MSR.
  if (!board.pci.empty()) {
    twin.changes.push_back(fmt::format("no [[pci]] functions (the board has {})", board.pci.size()));
    twin.board.pci.clear();
  }
  if (!board.dies.empty()) {
    twin.changes.push_back(fmt::format("no die root devices (the board has {})", board.dies.size()));
    twin.board.dies.clear();
  }
  if (auto msr = board.msr.find(sim::kPciMmioConfigMsr); msr != board.msr.end() && msr->second != 0) {
    twin.changes.push_back(
        fmt::format("MSR 0x{:X} reads 0: no PCI configuration window", sim::kPciMmioConfigMsr));
  }
  twin.board.msr.erase(sim::kPciMmioConfigMsr);

  // The GCD: only the hub's ACPI MMIO page, as the range the board maps it
  // in has it; OVMF's own map has other things around it.
  std::vector<sim::GcdRange> gcd;
  for (const sim::GcdRange &range : board.gcd) {
    if (range.base <= kAcpiMmioPage && kAcpiMmioPage + 0x1000 - 1 <= range.base + (range.length - 1)) {
      sim::GcdRange page = range;
      page.base = kAcpiMmioPage;
      page.length = 0x1000;
      // EDK II's GCD gives every range it adds these capabilities too.
      page.capabilities |=
          range.type == EfiGcdMemoryTypeMemoryMappedIo ? kEdk2MmioCapabilities : EFI_MEMORY_RUNTIME;
      gcd.push_back(page);
      config.GcdPresent = 1;
      config.GcdType = static_cast<UINT32>(range.type);
      config.GcdCapabilities = range.capabilities;
      config.GcdAttributes = range.attributes;
    } else if (range.base < kAcpiMmioPage + 0x1000 && kAcpiMmioPage <= range.base + (range.length - 1)) {
      twin.refusals.push_back("a GCD range that covers part of the ACPI MMIO page 0xFED80000");
    }
  }
  if (gcd.size() != board.gcd.size() ||
      (!gcd.empty() && (gcd[0].base != board.gcd[0].base || gcd[0].length != board.gcd[0].length ||
                        gcd[0].capabilities != board.gcd[0].capabilities))) {
    twin.changes.push_back(
        "the GCD holds only the ACPI MMIO page 0xFED80000, with the capabilities EDK II adds");
  }
  twin.board.gcd = gcd;
  return twin;
}

namespace {

// ---- The record, as the fixture writes it ---------------------------------

std::vector<std::string> *gRecord = nullptr;

void record(std::string line) {
  if (gRecord != nullptr) {
    gRecord->push_back(std::move(line));
  }
}

std::string escaped(const std::string &text) {
  std::string out;
  for (unsigned char byte : text) {
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte < 0x20 || byte >= 0x7F) {
      out += fmt::format("\\x{:02x}", byte);
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
}

// Each platform protocol's members are wrapped so that every call, from
// whichever image, lands in one list in the order it came.
ORVEX_NVRAM_GET_ATTRIBUTE gGetAttribute = nullptr;
VRO_PLATFORM_GET_ID_PTR gGetIdPtr = nullptr;
VRO_PLATFORM_QUERY_STATE gQueryPlatformState = nullptr;
VRO_SATA_GET_PORT_LIST gGetPortList = nullptr;
VRO_SATA_GET_SATA_CONFIG gGetSataConfig = nullptr;
USB_PORT_CONTROL_SET_PORT_MASK gSetPortMask = nullptr;
MC5744_APPLY_CONFIG gApplyConfig = nullptr;
MC5744_SET_PORT_ENABLES gSetPortEnables = nullptr;

EFI_STATUS EFIAPI recordGetAttribute(OrvexNvramAttributeProtocol *This, EFI_GUID *set, const CHAR16 *name,
                                     UINTN reserved, UINT16 *size, VOID *buffer) {
  if (name == nullptr || size == nullptr || buffer == nullptr || set == nullptr) {
    EFI_STATUS status = gGetAttribute(This, set, name, reserved, size, buffer);
    record(fmt::format("call nvram GetAttribute - -> {} problem null argument", sim::statusName(status)));
    return status;
  }
  std::string problem;
  if (!sim::sameGuid(*set, gNvramAttributeSetGuid)) {
    problem = " problem attribute set is not gNvramAttributeSetGuid";
  }
  if (*size != NVRAM_ATTRIBUTE_VALUE_SIZE) {
    problem = " problem size was not 62";
  } else {
    const auto *bytes = static_cast<const uint8_t *>(buffer);
    for (unsigned i = 0; i < NVRAM_ATTRIBUTE_VALUE_SIZE; i++) {
      if (bytes[i] != 0) {
        problem = " problem buffer was not zeroed";
        break;
      }
    }
  }
  std::string text = narrow(std::u16string(name)).substr(0, KESH_OVMF_TEXT - 1);
  EFI_STATUS status = gGetAttribute(This, set, name, reserved, size, buffer);
  record(fmt::format("call nvram GetAttribute {} -> {}{}", text, sim::statusName(status), problem));
  return status;
}

EFI_STATUS EFIAPI recordGetIdPtr(PlatformIdRecord **idRecord) {
  EFI_STATUS status = gGetIdPtr(idRecord);
  record(fmt::format("call identity GetIdPtr -> {}", sim::statusName(status)));
  return status;
}

UINT8 EFIAPI recordQueryPlatformState(UINTN selector) {
  UINT8 answer = gQueryPlatformState(selector);
  record(fmt::format("call identity QueryPlatformState {} = {}", selector, answer));
  return answer;
}

EFI_STATUS EFIAPI recordGetPortList(VroSataProtocol *This, SataPortEntry **ports, UINT8 *count) {
  EFI_STATUS status = gGetPortList(This, ports, count);
  record(fmt::format("call sata GetPortList -> {}", sim::statusName(status)));
  return status;
}

EFI_STATUS EFIAPI recordGetSataConfig(VroSataProtocol *This, UINT64 *config, UINT8 *mode) {
  EFI_STATUS status = gGetSataConfig(This, config, mode);
  record(fmt::format("call sata GetSataConfig -> {}", sim::statusName(status)));
  return status;
}

EFI_STATUS EFIAPI recordSetPortMask(UsbPortControlProtocol *This, UINT32 controller, UINT32 mask,
                                    UINT32 value) {
  EFI_STATUS status = gSetPortMask(This, controller, mask, value);
  record(fmt::format("call usb SetPortMask {} 0x{:x} 0x{:x} -> {}", controller, mask, value,
                     sim::statusName(status)));
  return status;
}

EFI_STATUS EFIAPI recordApplyConfig(Mc5744Protocol *This, UINTN apply) {
  EFI_STATUS status = gApplyConfig(This, apply);
  record(fmt::format("call mc5744 ApplyConfig 0x{:x} -> {}", apply, sim::statusName(status)));
  return status;
}

EFI_STATUS EFIAPI recordSetPortEnables(Mc5744Protocol *This, Mc5744PortEnables *enables) {
  EFI_STATUS status = gSetPortEnables(This, enables);
  if (enables == nullptr) {
    record(fmt::format("call mc5744 SetPortEnables - -> {}", sim::statusName(status)));
  } else {
    record(fmt::format("call mc5744 SetPortEnables {} {} {} {} -> {}", enables->Enable0, enables->Enable1,
                       enables->Enable2, enables->Enable3, sim::statusName(status)));
  }
  return status;
}

// The models are the simulation's; their interfaces are what the firmware
// calls, so they are patched in place before the boot.
template <typename Model> Model *mutableModel(const Model *model) {
  return const_cast<Model *>(model);
}

void wrapPlatformProtocols(sim::Simulation &simulation) {
  if (auto *nvram = mutableModel(simulation.nvram())) {
    gGetAttribute = std::exchange(nvram->protocol()->GetAttribute, recordGetAttribute);
  }
  if (auto *identity = mutableModel(simulation.identity())) {
    gGetIdPtr = std::exchange(identity->protocol()->GetIdPtr, recordGetIdPtr);
    gQueryPlatformState = std::exchange(identity->protocol()->QueryPlatformState, recordQueryPlatformState);
  }
  if (auto *sata = mutableModel(simulation.sata())) {
    gGetPortList = std::exchange(sata->protocol()->GetPortList, recordGetPortList);
    gGetSataConfig = std::exchange(sata->protocol()->GetSataConfig, recordGetSataConfig);
  }
  if (auto *usb = mutableModel(simulation.usbPortControl())) {
    gSetPortMask = std::exchange(usb->protocol()->SetPortMask, recordSetPortMask);
  }
  if (auto *hub = mutableModel(simulation.mc5744())) {
    gApplyConfig = std::exchange(hub->protocol()->ApplyConfig, recordApplyConfig);
    gSetPortEnables = std::exchange(hub->protocol()->SetPortEnables, recordSetPortEnables);
  }
}

std::string hexBytes(const std::vector<uint8_t> &bytes, size_t from, size_t to, bool hidePointer) {
  std::string out;
  for (size_t i = from; i < to && i < bytes.size(); i++) {
    out += hidePointer && i >= 32 && i < 40 ? std::string("..") : fmt::format("{:02x}", bytes[i]);
  }
  return out;
}

uint64_t little(const std::vector<uint8_t> &bytes, size_t at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width && at + i < bytes.size(); i++) {
    value |= static_cast<uint64_t>(bytes[at + i]) << (8 * i);
  }
  return value;
}

// The same walk as the fixture's: header, entries up to the next-entry
// offset, and everything from there to the end marker.
void recordTable(const std::vector<uint8_t> &table) {
  static const unsigned kSizes[10] = {24, 32, 40, 24, 32, 40, 32, 40, 48, 24};
  uint64_t length = little(table, 0x20, 8);
  uint64_t next = little(table, 0x28, 8);
  record("s3 table-header " + hexBytes(table, 0, 0x30, false));
  uint64_t offset = 0x30;
  while (offset < next && offset + 2 <= length) {
    auto type = static_cast<uint16_t>(little(table, offset, 2));
    if (type >= 10 || offset + kSizes[type] > next) {
      break;
    }
    record("s3 table-entry " + hexBytes(table, offset, offset + kSizes[type], false));
    offset += kSizes[type];
  }
  // The terminator, the end marker, and how much of the slack between is not zero.
  record("s3 table-tail " + hexBytes(table, offset, std::min(next + 2, length), false));
  unsigned slack = 0;
  for (uint64_t i = std::min(next + 2, length); i < length && i < table.size(); i++) {
    slack += table[i] != 0 ? 1 : 0;
  }
  record(fmt::format("s3 table-end {} slack {} non-zero", hexBytes(table, length, length + 4, false), slack));
}

void recordBootRecord(sim::Simulation &simulation) {
  const sim::BootRecord &r = simulation.record();
  record(fmt::format("firmware revision 0x{:x}", simulation.board().systemTableRevision));
  for (const auto &image : simulation.loader().images()) {
    if (image->started) {
      record(fmt::format("image {} started: {}", image->name, sim::statusName(image->entryStatus)));
    }
  }
  for (const sim::PcdWriteRecord &write : r.pcdWrites) {
    record(fmt::format("pcd {} size {} value 0x{:x} -> {}", write.token, write.size, write.value,
                       sim::statusName(write.status)));
  }
  for (const sim::SmmCallRecord &call : r.s3.smmCalls) {
    if (!call.message.empty()) {
      record("s3 message " + hexBytes(call.message, 0, call.message.size(), true));
    }
    if (call.privateData) {
      record(fmt::format("s3 private locked {} closed {}", call.privateData->bootScriptLocked,
                         call.privateData->tableClosed));
    }
    if (!call.tableBytes.empty()) {
      recordTable(call.tableBytes);
    }
    record(call.commSize
               ? fmt::format("s3 communicate size {} -> {}", *call.commSize, sim::statusName(call.status))
               : fmt::format("s3 communicate size - -> {}", sim::statusName(call.status)));
  }
  for (const sim::DebugPrintLine &line : r.s3.debugPrintLines) {
    record(fmt::format("debugprint 0x{:x} {}", line.filter, escaped(line.text)));
  }
  bool mapped = false;
  for (const sim::GcdRange &range : r.gcd) {
    if (range.base <= kAcpiMmioPage && kAcpiMmioPage - range.base < range.length) {
      record(fmt::format("gcd 0x{:x} base 0x{:x} length 0x{:x} type {} capabilities 0x{:x} attributes 0x{:x} "
                         "allocated {}",
                         kAcpiMmioPage, range.base, range.length, static_cast<unsigned>(range.type),
                         range.capabilities, range.attributes, range.image != nullptr ? 1 : 0));
      mapped = true;
    }
  }
  if (!mapped) {
    record(fmt::format("gcd 0x{:x} -> {}", kAcpiMmioPage, sim::statusName(EFI_NOT_FOUND)));
  }
  // The debug mask each started image answers, asked as the phase
  // application asks: through the protocol on its image handle.
  EFI_BOOT_SERVICES *bs = simulation.core().systemTable()->BootServices;
  for (const auto &image : simulation.loader().images()) {
    if (!image->started || EFI_ERROR(image->entryStatus)) {
      continue;
    }
    EFI_DEBUG_MASK_PROTOCOL *mask = nullptr;
    if (EFI_ERROR(bs->HandleProtocol(image->handle, &gEfiDebugMaskProtocolGuid,
                                     reinterpret_cast<VOID **>(&mask)))) {
      record(fmt::format("debugmask {} none", image->name));
      continue;
    }
    UINTN value = 0;
    EFI_STATUS status = mask->GetDebugMask(mask, &value);
    record(fmt::format("debugmask {} revision 0x{:x} -> {} mask 0x{:x}", image->name, mask->Revision,
                       sim::statusName(status), value));
  }
  record(fmt::format("breakpoints {}", r.breakpoints));
}

std::string hexText(const std::string &bytes) {
  std::string out;
  for (unsigned char byte : bytes) {
    out += fmt::format("{:02x}", byte);
  }
  return out;
}

} // namespace

int dxesim::ovmfCommand(const OvmfCommandOptions &options) {
  dxesim::refuseSharedOutputs({{"--config", options.config}, {"--json", options.json}});
  sim::Board board = options.board.empty() ? sim::referenceBoard() : sim::loadBoardFile(options.board);
  Twin twin = makeOvmfTwin(board);
  if (!twin.refusals.empty()) {
    for (const std::string &reason : twin.refusals) {
      std::cerr << "dxesim: " << board.source << ": OVMF cannot give " << reason << '\n';
    }
    return dxesim::kExitBadBoard;
  }
  if (!options.config.empty()) {
    sim::writeOutput(options.config,
                     std::string_view(reinterpret_cast<const char *>(&twin.config), sizeof(twin.config)),
                     "fixture configuration");
  }
  // Standard output may be the JSON's.
  std::ostream &notes = options.json == "-" ? std::cerr : std::cout;
  for (const std::string &change : twin.changes) {
    notes << "twin: " << change << '\n';
  }
  if (twin.changes.empty()) {
    notes << "twin: the board itself\n";
  }

  std::vector<std::string> lines;
  std::string uart0, uart1;
  {
    sim::Simulation simulation(twin.board, options.image.empty() ? sim::defaultDriverImage() : options.image);
    // The calls as they come; the rest from the boot's record.
    struct Recording {
      explicit Recording(std::vector<std::string> &to) { gRecord = &to; }
      ~Recording() { gRecord = nullptr; }
    } recording(lines);
    wrapPlatformProtocols(simulation);
    const sim::BootOutcome &outcome = simulation.run();
    recordBootRecord(simulation);
    if (!outcome.completed) {
      lines.push_back(fmt::format("halted {}", sim::haltText(simulation.record())));
    } else {
      lines.push_back("end");
    }
    uart0 = simulation.consoleTap().written(0x3F8);
    uart1 = simulation.consoleTap().written(0x2F8);
  }
  nlohmann::json report = {{"board", board.name}, {"source", board.source},  {"twin_changes", twin.changes},
                           {"record", lines},     {"uart0", hexText(uart0)}, {"uart1", hexText(uart1)}};
  if (!options.json.empty()) {
    sim::writeOutput(options.json, report.dump(1) + "\n", "twin record");
  }
  return 0;
}

CLI::App *dxesim::addOvmfSubcommand(CLI::App &app, OvmfCommandOptions &options) {
  CLI::App *command =
      app.add_subcommand("ovmf", "Write a board's OVMF fixture configuration and boot its OVMF twin "
                                 "(scripts/ovmf-boot.py compares the two runs); exit 2: OVMF cannot give it");
  command->add_option("BOARD", options.board, "Board file (TOML; default: the reference board)");
  command->add_option("--config", options.config, "Write the fixture's configuration block to this file");
  command->add_option("--json", options.json,
                      "Write the twin's record as JSON to this file (- for standard output)");
  command->add_option("--image", options.image,
                      "Host image of the driver (default: KeshInitDxe.so beside dxesim)");
  return command;
}
