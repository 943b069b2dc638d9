// One machine, as a board file or a test describes it.
#pragma once

#include "Dxe/DxeCore.h"
#include "Machine/Machine.h"
#include "Machine/Pci.h"
#include "Machine/SpiController.h"
#include "Platform/PlatformModels.h"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// The points of a boot at which the platform acts. "load" is where the
// driver image is loaded and started; the others may come before or after
// it, more than once, or not at all.
enum class Step { Load, PciEnumerationComplete, SmmReadyToLock, EndOfDxe, ReadyToBoot, ExitBootServices };
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

  // Diagnostics: the error level the platform's PCD database holds, and the
  // debug environment's answer to the query of the fatal stop.
  uint32_t errorLevel = 0x80000040;
  uint16_t debugEnvironmentAnswer = 0;

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

  // PCI configuration spaces; the SPI controller sits at the base its
  // bridge's register 0xA0 (bus 0, device 0x14, function 3) holds.
  std::vector<BoardPciFunction> pci;
  SpiRegisters spi;

  // Platform protocols other modules install; absent ones are not installed.
  std::optional<NvramConfig> nvram;
  std::optional<IdentityConfig> identity;
  bool usbPortControl = false;
  bool mc5744 = false;
  std::optional<SataConfig> sata;
  std::vector<BoardDie> dies;

  // Host image of the driver; empty: the one built beside the tool.
  std::string driverImage;
};

// The bridge whose register 0xA0 holds the SPI controller's base.
constexpr PciLocation kSpiBridge{0, 0x14, 3};
constexpr uint16_t kSpiBaseRegister = 0xA0;

// The PCD token that holds the error level until the driver reads it from
// its own sources.
constexpr UINTN kPcdDebugPrintErrorLevel = 5;

// A board file that cannot be used. The message names the file, the line
// and the key.
class BoardError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Refuses a machine that cannot exist (BoardError naming the board).
void validateBoard(const Board &board);

Board parseBoardToml(std::string_view text, const std::string &source);
Board loadBoardFile(const std::string &path);
// The shipped reference board, compiled in.
const char *referenceBoardToml();
Board referenceBoard();

} // namespace sim
