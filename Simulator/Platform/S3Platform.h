// SPDX-License-Identifier: BSD-2-Clause-Patent
// The platform around the S3 save library, as one boot sets it up from
// the board: the PCD tokens and the communication buffer, the PCI
// configuration window, the debug-print service, the SMM Communication
// protocol with its replay handler, and the sleep and resume.
#pragma once

#include "Board/Board.h"
#include "Dxe/DxeCore.h"
#include "Machine/Machine.h"
#include "Machine/Pci.h"
#include "Machine/PciMmioWindow.h"
#include "Platform/DebugPrintService.h"
#include "Platform/S3Resume.h"
#include "Platform/SmmCommunication.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class S3Platform {
public:
  // Installs what the board asks for in the core; the core must outlive it.
  S3Platform(const Board &board, Machine &machine, DxeCore &core, PciConfigSpace &space);
  ~S3Platform();
  S3Platform(const S3Platform &) = delete;
  S3Platform &operator=(const S3Platform &) = delete;

  // Where the second module's host image is, given the driver's.
  std::string clientImage(const std::string &driverImage) const;
  // Called after each timeline step: at Ready to Boot, the values the
  // replay will be compared with.
  void afterStep(Step step);
  // Called once the timeline is done: the sleep and resume, if asked for.
  void afterBoot();

  const PciMmioWindow *window() const { return window_ ? &*window_ : nullptr; }
  const DebugPrintServiceModel *debugPrint() const { return debugPrint_.get(); }
  const SmmCommunicationModel *smmCommunication() const { return smm_.get(); }
  const std::optional<S3ResumeResult> &resumeResult() const { return resume_; }
  // The platform's communication buffer (0 when the board sets none aside).
  uint64_t commBuffer() const;
  uint64_t commBufferSize() const { return commBuffer_.size() * sizeof(uint64_t); }

private:
  const Board &board_;
  DxeCore &core_;
  std::vector<uint64_t> commBuffer_; // 8-byte aligned
  std::optional<PciMmioWindow> window_;
  std::unique_ptr<DebugPrintServiceModel> debugPrint_;
  std::unique_ptr<SmmCommunicationModel> smm_;
  S3ResumeModel resumeModel_;
  std::optional<S3ResumeResult> resume_;
};

} // namespace sim
