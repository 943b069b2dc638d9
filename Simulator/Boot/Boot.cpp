// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Boot.h"
#include "Checks.h"
#include "Record.h"

#include "Host/FaultGuard.h"
#include "Images/Symbols.h"

#include <Guid/EventGroup.h>
#include <Protocol/DxeSmmReadyToLock.h>
#include <Protocol/PciEnumerationComplete.h>

#include <fmt/format.h>

#include <algorithm>
#include <dlfcn.h>
#include <iterator>
#include <filesystem>
#include <string_view>
#include <unistd.h>

namespace sim {

namespace {
// Marker interfaces: these protocols carry no members.
uint64_t gPciEnumerationCompleteInterface = 0;
uint64_t gDxeSmmReadyToLockInterface = 0;
} // namespace

std::string defaultDriverImage() {
  if (const char *fromEnvironment = std::getenv("KESH_DRIVER_IMAGE")) {
    return fromEnvironment;
  }
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  return (self.parent_path() / "KeshInitDxe.so").string();
}

Simulation::Simulation(const Board &board, std::string driverImage, const SimulationOptions &options)
    : board_(board), driverImage_(board.driverImage.empty() ? std::move(driverImage) : board.driverImage) {
  validateBoard(board_);
  validateExpectations(board_);
  if (!std::filesystem::is_regular_file(driverImage_)) {
    throw std::runtime_error(
        fmt::format("the driver image {} does not exist (build it first)", driverImage_));
  }
  tap_ = std::make_unique<ConsoleTap>(machine_);
  machine_.setObserver(tap_.get());
  // Said before anything boots: which image the simulator wants and where
  // it is found.
  if (ImageKind kind = imageKind(std::filesystem::path(driverImage_)); kind != ImageKind::HostElf) {
    throw std::runtime_error(fmt::format(
        "{} is {}; the simulator loads the driver's host image, KeshInitDxe.so, by default {}", driverImage_,
        kind == ImageKind::UefiPe ? "a UEFI image (PE32+), not a host image"
                                  : "not a host image (an ELF shared object)",
        defaultDriverImage()));
  }
  machine_.setFastPolls(options.fastPolls);
  machine_.setTraceEnabled(options.trace);
  recordHardware_ = options.trace && options.recordHardware;
  if (options.trace) {
    machine_.reserveTrace(options.traceReserve);
  }
  machine_.setAccessCostNs(board_.accessCostNs);
  machine_.setTimeBudgetNs(board_.timeBudgetMs * 1000000);
  machine_.setDebugEnvironmentAnswer(board_.debugEnvironmentAnswer);
  for (const auto &[leaf, regs] : board_.cpuid) {
    machine_.setCpuid(leaf, regs);
  }
  for (const auto &[index, value] : board_.msr) {
    machine_.setMsr(index, value);
  }

  postCodes_ = std::make_unique<PostCodePorts>(machine_);
  machine_.mapIo(PostCodePorts::kCodePort, PostCodePorts::kCodePort + 3, postCodes_.get());
  machine_.mapIo(PostCodePorts::kMarkerPort, PostCodePorts::kMarkerPort + 1, postCodes_.get());
  machine_.mapIo(PostCodePorts::kDeadLoopPort, PostCodePorts::kDeadLoopPort + 3, postCodes_.get());
  pmTimer_ = std::make_unique<AcpiPmTimer>(machine_);
  machine_.mapIo(AcpiPmTimer::kPort, AcpiPmTimer::kPort + 3, pmTimer_.get());
  attachConsole();

  for (const BoardPciFunction &function : board_.pci) {
    PciLocation location{function.bus, function.device, function.function};
    pci_.add(location);
    for (const auto &[offset, value] : function.registers) {
      pci_.write32(location, offset, value);
    }
  }
  // A later [[die]] of the same number (an extending board's) replaces the earlier.
  std::map<uint8_t, const BoardDie *> dies;
  for (const BoardDie &die : board_.dies) {
    dies[die.number] = &die;
  }
  for (const auto &[number, entry] : dies) {
    const BoardDie &die = *entry;
    PciLocation busRegister{0, static_cast<uint8_t>(0x18 + die.number), 0};
    pci_.add(busRegister);
    pci_.write32(busRegister, 0x84, die.bus);
    PciLocation root{die.bus, 0, 0};
    pci_.add(root);
    auto model = std::make_unique<DieRoot>(die.indirect);
    pci_.setHook(root, model.get());
    dies_[die.number] = std::move(model);
  }
  hostBridge_ = std::make_unique<PciHostBridge>(machine_, pci_);
  machine_.mapIo(PciHostBridge::kAddressPort, PciHostBridge::kDataPort + 3, hostBridge_.get());
  acpiMmio_ = std::make_unique<RegisterFile>(0x1000, "ACPI MMIO");
  machine_.mapMmio(0xFED80000, 0x1000, acpiMmio_.get());
  uint32_t spiBar = pci_.read32(kSpiBridge, kSpiBaseRegister);
  if (spiBar != 0xFFFFFFFF && (spiBar & 0xFFFFFFC0) != 0) {
    spiBase_ = spiBar & 0xFFFFFFC0;
    spi_ = std::make_unique<SpiController>(board_.spi, &machine_);
    machine_.mapMmio(spiBase_, SpiController::kSize, spi_.get());
  }
  platformFacts_ = readPlatformFacts(board_, pci_);

  core_ = std::make_unique<DxeCore>(machine_);
  core_->setSystemTableRevision(board_.systemTableRevision);
  core_->setRuntimeServicesPresent(board_.runtimeServices);
  core_->setDxeServicesPresent(board_.dxeServices);
  for (const auto &[token, value] : board_.pcd) {
    core_->pcdTokens()[token] = value;
  }
  for (const GcdRange &range : board_.gcd) {
    core_->gcdAdd(range);
  }
  for (const BoardVariable &variable : board_.variables) {
    core_->setVariable(variable.name, variable.guid, variable.data, variable.attributes);
  }
  for (const BoardHob &hob : board_.hobs) {
    core_->addGuidHob(hob.name, hob.data);
  }
  installHobLists();
  for (const FailureRule &rule : board_.failures) {
    core_->failures().add(rule);
  }
  installPlatformProtocols();
  s3_ = std::make_unique<S3Platform>(board_, machine_, *core_, pci_);
  gcdAtStart_ = core_->gcdMap();
  loader_ = std::make_unique<ImageLoader>(machine_, *core_);
}

// Installed before anything runs, as the modules that produce them are
// dispatched before this driver.
void Simulation::installPlatformProtocols() {
  auto install = [this](const EFI_GUID &guid, void *iface, const char *what) {
    EFI_HANDLE handle = nullptr;
    EFI_STATUS status = core_->installProtocol(&handle, guid, iface);
    if (EFI_ERROR(status)) {
      throw std::runtime_error(fmt::format("cannot install the {} protocol: {}", what, statusName(status)));
    }
  };
  if (board_.nvram) {
    nvram_ = std::make_unique<NvramAttributeModel>(machine_, *board_.nvram);
    install(gOrvexNvramAttributeProtocolGuid, nvram_->protocol(), "NVRAM attribute");
  }
  if (board_.identity) {
    identity_ = std::make_unique<PlatformIdModel>(*board_.identity);
    install(gVroPlatformIdProtocolGuid, identity_->protocol(), "platform identity");
  }
  if (board_.sata) {
    sata_ = std::make_unique<SataModel>(*board_.sata);
    install(gVroSataProtocolGuid, sata_->protocol(), "SATA");
  }
  if (board_.usbPortControl) {
    usbPortControl_ = std::make_unique<UsbPortControlModel>(machine_);
    install(gUsbPortControlProtocolGuid, usbPortControl_->protocol(), "USB port control");
  }
  if (board_.mc5744) {
    mc5744_ = std::make_unique<Mc5744Model>(machine_);
    install(gMc5744ProtocolGuid, mc5744_->protocol(), "MC5744 hub controller");
  }
}

std::string Simulation::imageName(EFI_HANDLE handle) const {
  for (const auto &image : loader_->images()) {
    if (image->handle == handle) {
      return image->name;
    }
  }
  return handle == nullptr ? "" : "another owner";
}

Simulation::~Simulation() = default;

void Simulation::runStep(Step step) {
  StepRecord record{step, machine_.nowNs(), ""};
  switch (step) {
  case Step::Load: {
    LoadedImage &image = loader_->load(driverImage_, "KeshInitDxe");
    imageFiles_[image.name] = ImageFile{driverImage_, image.base};
    driverLoads_.push_back(&image);
    outcome_.entryStatus = loader_->start(image);
    record.note = fmt::format("entry returned {}", statusName(*outcome_.entryStatus));
    break;
  }
  case Step::PciEnumerationComplete: {
    EFI_HANDLE handle = nullptr;
    EFI_STATUS status = core_->installProtocol(&handle, gEfiPciEnumerationCompleteProtocolGuid,
                                               &gPciEnumerationCompleteInterface);
    record.note = fmt::format("PCI Enumeration Complete protocol installed: {}", statusName(status));
    break;
  }
  case Step::SmmReadyToLock: {
    EFI_HANDLE handle = nullptr;
    EFI_STATUS status =
        core_->installProtocol(&handle, gEfiDxeSmmReadyToLockProtocolGuid, &gDxeSmmReadyToLockInterface);
    record.note = fmt::format("DXE SMM Ready To Lock protocol installed: {}", statusName(status));
    break;
  }
  case Step::EndOfDxe:
    core_->signalEventGroup(gEfiEndOfDxeEventGroupGuid);
    record.note = "End-of-DXE group signalled";
    break;
  case Step::ReadyToBoot:
    core_->signalEventGroup(gEfiEventReadyToBootGuid);
    record.note = "Ready-to-Boot group signalled";
    break;
  case Step::ExitBootServices:
    core_->exitBootServices();
    record.note = "boot services exited";
    break;
  case Step::LoadS3Client: {
    LoadedImage &image = loader_->load(s3_->clientImage(driverImage_), "S3ClientDxe");
    imageFiles_[image.name] = ImageFile{s3_->clientImage(driverImage_), image.base};
    record.note = fmt::format("S3ClientDxe entry returned {}", statusName(loader_->start(image)));
    break;
  }
  }
  s3_->afterStep(step);
  outcome_.steps.push_back(std::move(record));
}

const BootOutcome &Simulation::run() {
  if (ran_) {
    return outcome_;
  }
  ran_ = true;
  core_->setCurrentImage("DxeCore");
  bool halted = false;
  for (Step step : board_.timeline) {
    std::optional<MachineHalt> halt;
    try {
      runStep(step);
    } catch (const MachineHalt &machineHalt) {
      halt = machineHalt;
    } catch (const DriverFault &fault) {
      halt = MachineHalt{HaltReason::DriverFault, faultDetail(fault)};
    }
    if (halt) {
      outcome_.halt = halt;
      outcome_.steps.push_back(StepRecord{step, machine_.nowNs(), "halted: " + halt->detail});
      halted = true;
      break;
    }
  }
  if (!halted) {
    outcome_.completed = true;
    try {
      s3_->afterBoot();
    } catch (const MachineHalt &halt) {
      outcome_.halt = halt;
    }
  }
  core_->checkFreedPool();
  machine_.setContext(0);
  finishConsole();
  // The images stay loaded until the simulation goes: their tables are
  // whole now. A board that loads the driver twice ran both copies' code.
  for (const LoadedImage *image : driverLoads_) {
    if (auto edges = ImageLoader::edges(*image)) {
      std::vector<uint32_t> both;
      std::set_union(driverEdges_.begin(), driverEdges_.end(), edges->offsets.begin(), edges->offsets.end(),
                     std::back_inserter(both));
      driverEdges_ = std::move(both);
      driverEdgesLost_ += edges->lost;
    }
  }
  record_ = std::make_unique<BootRecord>(recordBoot(*this));
  return outcome_;
}

const BootRecord &Simulation::record() const {
  if (!record_) {
    throw std::logic_error("the boot has not run");
  }
  return *record_;
}

std::string Simulation::codeName(uint32_t context) const {
  const auto &contexts = core_->codeContexts();
  if (context == 0 || context > contexts.size()) {
    return "";
  }
  const CodeContext &code = contexts[context - 1];
  std::string function = functionIn(code.image, code.function);
  return function.empty() ? code.image : code.image + " " + function;
}

// "SIGSEGV writing 0x... (address not mapped) in S3ClientDxe S3OnReadyToBoot,
// instruction in S3ClientDxe S3CloseTable": the code context that ran, and
// the function whose instruction faulted when that is another one.
std::string Simulation::faultDetail(const DriverFault &fault) const {
  std::string detail = describeFault(fault.fault);
  std::string running = codeName(fault.context);
  detail += " in " + (running.empty() ? std::string("the DXE core") : running);
  std::string at = "code the tool cannot place";
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void *>(fault.fault.pc), &info) != 0) {
    // Outside the images: the tool or a library it maps (a sanitizer's runtime).
    at = info.dli_fname != nullptr ? std::filesystem::path(info.dli_fname).filename().string() : at;
    for (const auto &[name, file] : imageFiles_) {
      if (reinterpret_cast<uintptr_t>(info.dli_fbase) == file.base) {
        std::string function = functionIn(name, reinterpret_cast<const void *>(fault.fault.pc));
        at = function.empty() ? name : name + " " + function;
      }
    }
  }
  if (at != running) {
    detail += ", instruction in " + at;
  }
  return detail;
}

std::string Simulation::functionIn(const std::string &image, const void *address) const {
  auto file = imageFiles_.find(image);
  return file == imageFiles_.end() ? "" : functionName(address, file->second.base, file->second.path);
}

std::vector<AssertionRecord> Simulation::assertions() const {
  return record().assertions;
}

// The line control register decides whether offset 0 is the transmit
// holding register or the divisor latch; the firmware's own writes to it
// are followed, so this holds whether or not a UART decodes the port.
void ConsoleTap::portWritten(uint16_t port, unsigned width, uint32_t value) {
  if (width != 1) {
    return;
  }
  for (unsigned i = 0; i < 2; i++) {
    uint16_t base = i == 0 ? 0x3F8 : 0x2F8;
    if (port == base + 3) {
      uarts_[i].lcr = static_cast<uint8_t>(value);
    } else if (port == base && (uarts_[i].lcr & 0x80) == 0) {
      uarts_[i].written += static_cast<char>(value);
      sequence_++;
      if (value == '\n') {
        lineEnded(uarts_[i]);
      }
    }
  }
}

// A report is counted where it is printed: a trap may never follow it.
void ConsoleTap::lineEnded(Uart &uart) {
  std::string_view line(uart.written.data() + uart.lineStart, uart.written.size() - uart.lineStart);
  uart.lineStart = uart.written.size();
  if (line.find("ASSERT ") == std::string_view::npos) {
    return;
  }
  for (const AssertionRecord &found : findAssertionReports(std::string(line))) {
    uart.reports.push_back(Report{found.file, found.expression, found.line,
                                  machine_.trace().empty() ? 0 : machine_.trace().size() - 1,
                                  machine_.context(), sequence_});
  }
}

const std::vector<ConsoleTap::Report> &ConsoleTap::reports() const {
  return uarts_[0].reports.empty() ? uarts_[1].reports : uarts_[0].reports;
}

// The report that DebugAssert writes just before its trap: the last
// "ASSERT file(line): expression" line written since the previous trap, on
// the first UART, or on the second when the first got none.
void ConsoleTap::breakpointHit(uint64_t count) {
  Trap trap{
      count,    machine_.trace().empty() ? 0 : machine_.trace().size() - 1, machine_.context(), {}, {}, 0,
      sequence_};
  for (Uart &uart : uarts_) {
    std::vector<AssertionRecord> reports = findAssertionReports(uart.written.substr(uart.seen));
    uart.seen = uart.written.size();
    if (!trap.file && !reports.empty()) {
      trap.file = reports.back().file;
      trap.line = reports.back().line;
      trap.expression = reports.back().expression;
    }
  }
  traps_.push_back(std::move(trap));
}

// "ASSERT FILE(LINE): EXPRESSION" and CR LF or LF, where FILE has no space
// or parenthesis and LINE is decimal; anywhere in the text, as a report may
// follow a message that did not end its line.
std::vector<AssertionRecord> findAssertionReports(const std::string &text) {
  static constexpr std::string_view kMarker = "ASSERT ";
  std::vector<AssertionRecord> out;
  size_t at = text.find(kMarker);
  while (at != std::string::npos) {
    size_t file = at + kMarker.size();
    size_t fileEnd = text.find_first_of(" ()", file);
    size_t lineStart = fileEnd + 1;
    size_t lineEnd = lineStart;
    uint64_t line = 0;
    while (fileEnd != std::string::npos && lineEnd < text.size() && text[lineEnd] >= '0' &&
           text[lineEnd] <= '9' && line <= UINT32_MAX) {
      line = line * 10 + static_cast<uint64_t>(text[lineEnd] - '0');
      lineEnd++;
    }
    bool matched = fileEnd != std::string::npos && fileEnd > file && text[fileEnd] == '(' &&
                   lineEnd > lineStart && line <= UINT32_MAX && text.compare(lineEnd, 3, "): ") == 0;
    if (matched) {
      size_t expression = lineEnd + 3;
      size_t expressionEnd = text.find_first_of("\r\n", expression);
      size_t next = expressionEnd;
      if (next != std::string::npos && text[next] == '\r') {
        next++;
      }
      if (next < text.size() && text[next] == '\n') {
        AssertionRecord report;
        report.file = text.substr(file, fileEnd - file);
        report.line = static_cast<unsigned>(line);
        report.expression = text.substr(expression, expressionEnd - expression);
        out.push_back(std::move(report));
        at = text.find(kMarker, next + 1);
        continue;
      }
    }
    at = text.find(kMarker, at + 1);
  }
  return out;
}

} // namespace sim
