// SPDX-License-Identifier: BSD-2-Clause-Patent
// One machine, as a board file or a test describes it.
#pragma once

#include "Dxe/DxeCore.h"
#include "Machine/Cmos.h"
#include "Machine/Machine.h"
#include "Machine/Pci.h"
#include "Machine/SpiController.h"
#include "Machine/SuperIo.h"
#include "Machine/Uart16550.h"
#include "Platform/PlatformModels.h"
#include "Platform/S3Config.h"

#include "Boot/Verdict.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// The points of a boot at which the platform acts. "load" is where the
// driver image is loaded and started; the others may come before or after
// it, more than once, or not at all.
// "load-s3-client" loads and starts the second module that carries the S3
// save library (Tests/Firmware/S3ClientDxe).
enum class Step {
  Load,
  PciEnumerationComplete,
  SmmReadyToLock,
  EndOfDxe,
  ReadyToBoot,
  ExitBootServices,
  LoadS3Client
};
const char *stepName(Step step);
std::optional<Step> stepFromName(std::string_view name);

struct BoardVariable {
  std::u16string name;
  EFI_GUID guid;
  std::vector<uint8_t> data;
  uint32_t attributes = 7;
};

struct BoardHob {
  EFI_GUID name;
  std::vector<uint8_t> data;
};
// The earlier phase's error level: a GUID HOB named gEfiGenericVariableGuid
// whose data starts with the 32-bit level.
BoardHob levelHob(uint32_t level);

// CMOS as a board leaves it when nothing else is said: byte 0x6F selects
// 115200 baud for the console and bytes 0x7A-0x7D hold the error level
// 0x80000040.
CmosBytes defaultCmos();
constexpr uint8_t kCmosConsoleSpeed = 0x6F;
constexpr uint8_t kCmosErrorLevel = 0x7A; // four bytes, least significant first

struct BoardPciFunction {
  uint8_t bus = 0, device = 0, function = 0;
  std::vector<std::pair<uint16_t, uint32_t>> registers; // dword offset, value
};

struct BoardDie {
  uint8_t number = 0;
  uint8_t bus = 0;                       // register 0x84 of bus 0, device 0x18 + number, function 0
  std::map<uint32_t, uint32_t> indirect; // reset values of the root device's indirect registers
};

struct Board {
  std::string name = "unnamed board";
  std::string source = "<built in code>";

  // Firmware.
  uint32_t systemTableRevision = EFI_2_70_SYSTEM_TABLE_REVISION;
  bool runtimeServices = true;
  bool dxeServices = true;
  std::vector<Step> timeline = {Step::Load,           Step::PciEnumerationComplete,
                                Step::SmmReadyToLock, Step::EndOfDxe,
                                Step::ReadyToBoot,    Step::ExitBootServices};
  std::vector<FailureRule> failures;

  // Diagnostics: the debug environment's answer to the query of the fatal
  // stop. The error level lives in CMOS and in the level HOB.
  uint16_t debugEnvironmentAnswer = 0;
  CmosBytes cmos = defaultCmos();
  // The level the CMOS bytes 0x7A-0x7D form, and writing it there.
  uint32_t cmosErrorLevel() const;
  void setCmosErrorLevel(uint32_t level);

  // The console: the Super I/O and the UARTs at 0x3F8 and 0x2F8.
  SuperIoConfig superIo;
  UartConfig uart3F8;
  UartConfig uart2F8;

  // Machine.
  uint64_t accessCostNs = 1000;
  uint64_t timeBudgetMs = 120000;
  std::map<uint32_t, CpuidRegs> cpuid;
  std::map<uint32_t, uint64_t> msr;

  // Platform data.
  std::map<UINTN, PcdToken> pcd;
  std::vector<GcdRange> gcd;
  std::vector<BoardVariable> variables;
  std::vector<BoardHob> hobs;
  // More configuration-table entries carrying a HOB list each, after the
  // core's own list (which exists when `hobs` is not empty).
  std::vector<std::vector<BoardHob>> hobLists;

  // PCI configuration spaces; the SPI controller sits at the base its
  // bridge's register 0xA0 (bus 0, device 0x14, function 3) holds.
  std::vector<BoardPciFunction> pci;
  SpiRegisters spi;

  // Platform protocols other modules install; absent ones are not installed.
  std::optional<NvramConfig> nvram;
  std::optional<IdentityConfig> identity;
  bool usbPortControl = false;
  bool mc5744 = false;
  std::optional<DebugPrintServiceConfig> debugPrintService;
  bool smmCommunication = false;

  // The S3 save platform: communication buffer, second module, sleep and resume.
  S3Config s3;
  std::optional<SataConfig> sata;
  std::vector<BoardDie> dies;

  // The halt the board's machine is expected to come to ([firmware]
  // expected_halt): the tools that judge every boot take it as the board's
  // outcome, not as a fault; `dxesim boot` still exits 3 for it.
  std::optional<HaltReason> expectedHalt;

  // Check name -> the outcome this board is expected to get, for checks
  // that are not expected to pass ([expect]).
  std::map<std::string, Expectation> expectations;

  // Host image of the driver; empty: the one built beside the tool.
  std::string driverImage;
};

// The largest time budget whose nanoseconds fit 64 bits (about 584 years).
constexpr uint64_t kMaxTimeBudgetMs = ~0ULL / 1000000;

// The bridge whose register 0xA0 holds the SPI controller's base.
constexpr PciLocation kSpiBridge{0, 0x14, 3};
constexpr uint16_t kSpiBaseRegister = 0xA0;

// A board file that cannot be used. The message names the file, the line
// and the key.
class BoardError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The names board files give GCD memory types and memory attributes.
struct NamedValue {
  std::string_view name;
  uint64_t value;
};
std::span<const NamedValue> gcdTypeNames();
std::span<const NamedValue> memoryAttributeNames();

// Refuses a machine that cannot exist (BoardError naming the board).
void validateBoard(const Board &board);

Board parseBoardToml(std::string_view text, const std::string &source);
// Reads the file bounded in size (Host/BoundedFile.h); a file that cannot
// be read is a BoardError naming it.
Board loadBoardFile(const std::string &path);
// The shipped reference board, compiled in.
const char *referenceBoardToml();
Board referenceBoard();

} // namespace sim
