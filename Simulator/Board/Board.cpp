#include "Board.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace sim {

namespace {
struct StepNameEntry {
  Step step;
  const char *name;
};
constexpr StepNameEntry kSteps[] = {
    {Step::Load, "load"},
    {Step::PciEnumerationComplete, "pci-enumeration-complete"},
    {Step::SmmReadyToLock, "smm-ready-to-lock"},
    {Step::EndOfDxe, "end-of-dxe"},
    {Step::ReadyToBoot, "ready-to-boot"},
    {Step::ExitBootServices, "exit-boot-services"},
};
} // namespace

const char *stepName(Step step) {
  for (const auto &entry : kSteps) {
    if (entry.step == step) {
      return entry.name;
    }
  }
  return "?";
}

std::optional<Step> stepFromName(std::string_view name) {
  for (const auto &entry : kSteps) {
    if (name == entry.name) {
      return entry.step;
    }
  }
  return std::nullopt;
}

void validateBoard(const Board &board) {
  if (std::count(board.timeline.begin(), board.timeline.end(), Step::Load) != 1) {
    throw BoardError(board.source + ": the timeline must hold \"load\" exactly once");
  }
  // PCI enumeration allocates its resources through the GCD services.
  if (!board.dxeServices &&
      std::count(board.timeline.begin(), board.timeline.end(), Step::PciEnumerationComplete) != 0) {
    throw BoardError(board.source + ": a platform without DXE services cannot complete PCI enumeration");
  }
}

Board loadBoardFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw BoardError(path + ": cannot be read");
  }
  std::stringstream text;
  text << in.rdbuf();
  return parseBoardToml(text.str(), path);
}

Board referenceBoard() {
  return parseBoardToml(referenceBoardToml(), "boards/reference.toml (built in)");
}

} // namespace sim
