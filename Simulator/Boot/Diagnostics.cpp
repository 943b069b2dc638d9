// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Diagnostics.h"
#include "Boot.h"

#include <Guid/HobList.h>
#include <Pi/PiHob.h>

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <tuple>

namespace sim {

namespace {
constexpr size_t kHobAlignment = 8;

void appendBytes(std::vector<uint8_t> &to, const void *bytes, size_t size) {
  const auto *first = static_cast<const uint8_t *>(bytes);
  to.insert(to.end(), first, first + size);
}

} // namespace

std::vector<uint8_t> buildHobList(const std::vector<BoardHob> &hobs) {
  std::vector<uint8_t> list;
  EFI_HOB_HANDOFF_INFO_TABLE handoff{};
  handoff.Header.HobType = EFI_HOB_TYPE_HANDOFF;
  handoff.Header.HobLength = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  handoff.Version = 0x0009;
  appendBytes(list, &handoff, sizeof(handoff));
  for (const BoardHob &hob : hobs) {
    size_t length =
        (sizeof(EFI_HOB_GUID_TYPE) + hob.data.size() + kHobAlignment - 1) / kHobAlignment * kHobAlignment;
    if (length > MAX_UINT16) {
      throw std::invalid_argument("GUID HOB data does not fit a 16-bit HOB length");
    }
    EFI_HOB_GUID_TYPE header{};
    header.Header.HobType = EFI_HOB_TYPE_GUID_EXTENSION;
    header.Header.HobLength = static_cast<UINT16>(length);
    header.Name = hob.name;
    size_t start = list.size();
    appendBytes(list, &header, sizeof(header));
    list.insert(list.end(), hob.data.begin(), hob.data.end());
    list.resize(start + length, 0);
  }
  EFI_HOB_GENERIC_HEADER end{};
  end.HobType = EFI_HOB_TYPE_END_OF_HOB_LIST;
  end.HobLength = sizeof(EFI_HOB_GENERIC_HEADER);
  appendBytes(list, &end, sizeof(end));
  return list;
}

void sealHobList(std::vector<uint8_t> &list) {
  EFI_HOB_HANDOFF_INFO_TABLE handoff;
  std::memcpy(&handoff, list.data(), sizeof(handoff));
  handoff.EfiEndOfHobList =
      reinterpret_cast<uintptr_t>(list.data() + list.size() - sizeof(EFI_HOB_GENERIC_HEADER));
  std::memcpy(list.data(), &handoff, sizeof(handoff));
}

// CMOS at 0x70/0x71, the Super I/O at 0x4E/0x4F, and the UARTs. A UART
// decodes while its Super I/O logical device is active at its base, or
// always when an earlier phase set the Super I/O up.
void Simulation::attachConsole() {
  cmos_ = std::make_unique<Cmos>(board_.cmos);
  machine_.mapIo(Cmos::kIndexPort, Cmos::kDataPort, cmos_.get());
  superIo_ = std::make_unique<SuperIo>(board_.superIo);
  machine_.mapIo(SuperIo::kIndexPort, SuperIo::kDataPort, superIo_.get());

  uart3F8_ = std::make_unique<Uart16550>(machine_, 0x3F8, board_.uart3F8);
  uart2F8_ = std::make_unique<Uart16550>(machine_, 0x2F8, board_.uart2F8);
  struct Wiring {
    Uart16550 *uart;
    uint8_t device;
  };
  for (const Wiring &wiring :
       {Wiring{uart3F8_.get(), SuperIo::kUart3F8Device}, Wiring{uart2F8_.get(), SuperIo::kUart2F8Device}}) {
    if (!board_.superIo.setUpEarlier) {
      wiring.uart->setDecodeGate(superIo_->decodeFlag(wiring.device, wiring.uart->base()));
    }
    machine_.mapIo(wiring.uart->base(), wiring.uart->base() + 7, wiring.uart);
  }
  uart3F8_->onByte = [this](char byte) {
    if (onConsoleByte) {
      onConsoleByte(byte);
    }
  };
}

// The board's further HOB lists, after the core's own one.
void Simulation::installHobLists() {
  hobLists_.reserve(board_.hobLists.size());
  for (const auto &hobs : board_.hobLists) {
    hobLists_.push_back(buildHobList(hobs));
  }
  for (auto &list : hobLists_) {
    sealHobList(list);
    core_->appendConfigurationTable(gEfiHobListGuid, list.data());
  }
}

// What the last bursts left in the FIFOs still goes out on the line.
void Simulation::finishConsole() {
  uart3F8_->drain();
  uart2F8_->drain();
}

ConsoleSummary consoleSummary(const Simulation &simulation) {
  return simulation.record().console;
}

} // namespace sim
