// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "S3Platform.h"

#include <Protocol/SmmCommunication.h>

#include <fmt/format.h>

#include <filesystem>
#include <stdexcept>

namespace sim {

namespace {
void install(DxeCore &core, const EFI_GUID &guid, void *iface, const char *what) {
  EFI_HANDLE handle = nullptr;
  EFI_STATUS status = core.installProtocol(&handle, guid, iface);
  if (EFI_ERROR(status)) {
    throw std::runtime_error(fmt::format("cannot install the {} protocol: {}", what, statusName(status)));
  }
}

// The window is where the board's MSR puts it; an MSR the board leaves out reads 0.
std::optional<PciMmioWindow> windowOf(const Board &board, PciConfigSpace &space) {
  auto msr = board.msr.find(kPciMmioConfigMsr);
  return msr == board.msr.end() ? std::nullopt : PciMmioWindow::fromMsr(msr->second, space);
}
} // namespace

S3Platform::S3Platform(const Board &board, Machine &machine, DxeCore &core, PciConfigSpace &space)
    : board_(board), core_(core), window_(windowOf(board, space)), resumeModel_(machine, space, window()) {
  // Both tokens are in the platform's database; 0 until someone sets them.
  core.pcdTokens().try_emplace(kPcdS3SavePrivateData, PcdToken{8, 0});
  core.pcdTokens().try_emplace(kPcdS3SaveCommBuffer, PcdToken{8, 0});
  if (board.s3.commBufferSize != 0) {
    commBuffer_.assign((board.s3.commBufferSize + 7) / 8, 0);
    core.pcdTokens()[kPcdS3SaveCommBuffer] = PcdToken{8, commBuffer()};
  }

  if (window_) {
    machine.mapMmio(window_->base(), window_->size(), &*window_);
  }

  if (board.debugPrintService) {
    debugPrint_ = std::make_unique<DebugPrintServiceModel>(board.debugPrintService->filters);
    install(core, gDebugPrintSvcProtocolGuid, debugPrint_->protocol(), "debug-print service");
  }
  if (board.smmCommunication) {
    std::vector<SmmCommunicationModel::Region> buffers;
    if (!commBuffer_.empty()) {
      buffers.push_back({commBuffer(), commBufferSize()});
    }
    smm_ = std::make_unique<SmmCommunicationModel>(core, machine, std::move(buffers));
    install(core, gEfiSmmCommunicationProtocolGuid, smm_->protocol(), "SMM Communication");
  }
}

S3Platform::~S3Platform() = default;

uint64_t S3Platform::commBuffer() const {
  return commBuffer_.empty() ? 0 : static_cast<uint64_t>(reinterpret_cast<uintptr_t>(commBuffer_.data()));
}

std::string S3Platform::clientImage(const std::string &driverImage) const {
  if (!board_.s3.clientImage.empty()) {
    return board_.s3.clientImage;
  }
  return (std::filesystem::path(driverImage).parent_path() / "S3ClientDxe.so").string();
}

void S3Platform::afterStep(Step step) {
  if (step != Step::ReadyToBoot || smm_ == nullptr || resumeModel_.snapshotTaken() ||
      smm_->lastAccepted() == nullptr) {
    return;
  }
  resumeModel_.snapshot(smm_->replayEntries(), board_.s3.lose);
}

void S3Platform::afterBoot() {
  if (!board_.s3.resume) {
    return;
  }
  std::map<PciLocation, std::vector<std::pair<uint16_t, uint32_t>>> powerOn;
  for (const BoardPciFunction &function : board_.pci) {
    auto &registers = powerOn[PciLocation{function.bus, function.device, function.function}];
    registers.insert(registers.end(), function.registers.begin(), function.registers.end());
  }
  std::vector<S3TableEntry> entries = smm_ != nullptr ? smm_->replayEntries() : std::vector<S3TableEntry>{};
  resume_ = resumeModel_.resume(entries, board_.s3.lose, powerOn);
  if (smm_ == nullptr) {
    resume_->note = "no SMM Communication protocol: nothing to replay";
  } else if (smm_->lastAccepted() == nullptr) {
    resume_->note = "the SMM handler accepted no table: nothing to replay";
  }
}

} // namespace sim
