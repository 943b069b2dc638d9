// SPDX-License-Identifier: BSD-2-Clause-Patent
// Board settings of the S3 save platform: the debug-print service, the SMM
// Communication protocol, the communication buffer, the second module
// carrying the S3 save library, and a sleep and resume after the boot.
#pragma once

#include "Machine/Pci.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The S3 save library's own messages and the S3 capture trace.
constexpr uint64_t kS3SavePrintFilter = 0x4000000000000ULL;
constexpr uint64_t kS3CapturePrintFilter = 0x2000000ULL;

struct DebugPrintServiceConfig {
  uint64_t filters = kS3SavePrintFilter | kS3CapturePrintFilter; // lines with these bits print
};

struct S3Config {
  // Bytes of the communication buffer the platform sets aside and puts
  // in PCD token 215; 0 leaves the token as the board's PCD list has it.
  uint64_t commBufferSize = 0;
  // Sleep and resume once the timeline is done.
  bool resume = false;
  // Functions whose configuration space is lost in S3 (back to the board's values).
  std::vector<PciLocation> lose;
  // Host image of the second module; empty: S3ClientDxe.so beside the driver.
  std::string clientImage;
};

// PCD tokens of the S3 save library: the shared private data and the
// communication buffer, both 64-bit.
constexpr uint64_t kPcdS3SavePrivateData = 214;
constexpr uint64_t kPcdS3SaveCommBuffer = 215;

} // namespace sim
