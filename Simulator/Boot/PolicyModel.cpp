// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "PolicyModel.h"

#include <algorithm>
#include <vector>

namespace sim {

namespace {

// An attribute value as the driver sees it: set only when the store
// delivers it whole, terminated, within the 62-byte buffer.
std::optional<std::u16string> attribute(const Board &board, const std::u16string &name) {
  if (!board.nvram) {
    return std::nullopt;
  }
  auto found = board.nvram->values.find(name);
  if (found == board.nvram->values.end() || board.nvram->unterminated.count(name) != 0 ||
      (found->second.size() + 1) * 2 > 62) {
    return std::nullopt;
  }
  return found->second;
}

// The fixed values the policy acts on: an internal port switched off, the
// redundant OS hidden, and where it is hidden when not on a SATA port.
constexpr std::u16string_view kOff = u"Off";
constexpr std::u16string_view kHidden = u"Hidden";
constexpr std::u16string_view kOnInternalUsb = u"InternalUsb";
constexpr std::u16string_view kOnInternalSd = u"InternalSd";

bool reads(const Board &board, const std::u16string &name, std::u16string_view value) {
  auto read = attribute(board, name);
  return read && *read == value;
}

// "UsbPorts" values and what each asks for.
enum class UsbPorts { Unset, AllOff, BackPortsOnly };
struct UsbPortsValue {
  const char16_t *value;
  UsbPorts meaning;
};
constexpr UsbPortsValue kUsbPortsValues[] = {{u"AllOff", UsbPorts::AllOff},
                                             {u"AllOffDynamic", UsbPorts::AllOff},
                                             {u"OnlyBackPortsOn", UsbPorts::BackPortsOnly}};

// Per System ID, how the USB settings reach the hardware: port-control bits
// in one SetPortMask call made in every case (or a fixed back-port call
// made only when asked), and hub location bits.
struct UsbSystemRule {
  uint16_t systemIds[2];
  bool alwaysSetPortMask;      // one SetPortMask (0, m, m) call with the bits below, even when m is 0
  uint32_t internalUsbMask;    // SetPortMask bit for the internal USB port
  uint32_t internalSdMask;     // SetPortMask bit for the SD-card reader
  uint32_t backPortsMask;      // a separate SetPortMask (0, m, m) when only back ports stay on
  uint8_t backPortsLocation;   // hub location bit when only back ports stay on
  uint8_t internalUsbLocation; // hub location bit (reported, not acted on by the hub)
  uint8_t internalSdLocation;
};
constexpr UsbSystemRule kUsbSystems[] = {
    {{2039, 2040}, true, 0x2, 0x8, 0, 0x01, 0, 0},
    {{2041, 2041}, false, 0, 0, 0xC, 0, 0x04, 0x10},
};

// Hub location bits and the enables each one clears.
struct HubLocation {
  uint8_t bit;
  unsigned enables[2];
};
constexpr HubLocation kHubLocations[] = {{0x01, {2, 3}}, {0x02, {0, 1}}};

// SATA: the die that carries a matched port, per System ID and SATA mode.
struct SataDieRule {
  uint16_t systemIds[2];
  std::optional<uint8_t> mode;                    // nullopt: any mode not listed before
  bool entryDieMustBeZero;                        // else the port is not disabled
  std::optional<uint8_t> dieForZero, dieForOther; // nullopt: the entry's own die
};
constexpr SataDieRule kSataDies[] = {
    {{2039, 2040}, 1, true, 2, std::nullopt},
    {{2039, 2040}, std::nullopt, false, 0, 2},
    {{2041, 2041}, std::nullopt, false, std::nullopt, std::nullopt},
};
// PCD 228 + port records a port of die 0; token 236 holds one bit per
// port of dies 1 to 6, bits 16 to 63.
constexpr uint64_t kPcdDie0First = 228;
constexpr uint64_t kPcdOtherDies = 236;
constexpr uint8_t kLastRecordableDie = 6;
constexpr unsigned kPortsPerDie = 8;

bool matchesSystem(const uint16_t (&ids)[2], uint16_t id) {
  return ids[0] == id || ids[1] == id;
}

void usbPolicy(const Board &board, PolicyOutcome &out) {
  if (!board.usbPortControl || !board.nvram) {
    return;
  }
  UsbPorts usbPorts = UsbPorts::Unset;
  if (auto value = attribute(board, u"UsbPorts")) {
    for (const UsbPortsValue &known : kUsbPortsValues) {
      usbPorts = *value == known.value ? known.meaning : usbPorts;
    }
  }
  uint8_t locations = 0;
  bool hubCalled = false;
  if (usbPorts == UsbPorts::AllOff) {
    hubCalled = true;
  } else {
    bool internalUsbOff = reads(board, u"InternalUsb", kOff);
    bool internalSdOff = reads(board, u"InternalSdCard", kOff);
    if (reads(board, u"RedundantOsState", kHidden)) {
      internalUsbOff |= reads(board, u"RedundantOsLocation", kOnInternalUsb);
      internalSdOff |= reads(board, u"RedundantOsLocation", kOnInternalSd);
    }
    if (!board.identity || board.identity->getId != IdentityConfig::GetId::Ok) {
      return;
    }
    for (const UsbSystemRule &rule : kUsbSystems) {
      if (!matchesSystem(rule.systemIds, board.identity->systemId)) {
        continue;
      }
      bool backPortsOnly = usbPorts == UsbPorts::BackPortsOnly;
      if (rule.alwaysSetPortMask) {
        uint32_t mask =
            (internalUsbOff ? rule.internalUsbMask : 0) | (internalSdOff ? rule.internalSdMask : 0);
        out.portMaskCalls.emplace_back(mask, mask);
      } else if (backPortsOnly) {
        out.portMaskCalls.emplace_back(rule.backPortsMask, rule.backPortsMask);
      }
      locations = static_cast<uint8_t>((backPortsOnly ? rule.backPortsLocation : 0) |
                                       (internalUsbOff ? rule.internalUsbLocation : 0) |
                                       (internalSdOff ? rule.internalSdLocation : 0));
      hubCalled = true;
    }
  }
  if (hubCalled) {
    out.hubLocations = locations;
  }
  if (hubCalled && board.mc5744) {
    std::array<uint32_t, 4> enables{1, 1, 1, 1};
    for (const HubLocation &location : kHubLocations) {
      if ((locations & location.bit) != 0) {
        enables[location.enables[0]] = 0;
        enables[location.enables[1]] = 0;
      }
    }
    out.hubEnables = enables;
  }
}

// The root device that answers on a bus, with its port-disable register at
// power-on: one device 0 per bus, so of several dies whose root devices sit
// on one bus, the highest-numbered one's; a later [[die]] of the same number
// replaces the earlier.
std::map<uint8_t, uint32_t> rootsByBus(const Board &board, uint8_t bus) {
  std::map<uint8_t, const BoardDie *> dies;
  for (const BoardDie &die : board.dies) {
    dies[die.number] = &die;
  }
  std::map<uint8_t, uint32_t> out;
  for (auto it = dies.rbegin(); it != dies.rend(); ++it) {
    if (it->second->bus == bus) {
      auto reset = it->second->indirect.find(0x03101800);
      out[it->first] = reset == it->second->indirect.end() ? 0 : reset->second;
      break;
    }
  }
  return out;
}

void sataPolicy(const Board &board, const PlatformFacts &facts, PolicyOutcome &out) {
  if (!board.nvram || !board.sata || !board.identity || board.identity->getId != IdentityConfig::GetId::Ok) {
    return;
  }
  if (!reads(board, u"RedundantOsState", kHidden)) {
    return;
  }
  auto location = attribute(board, u"RedundantOsLocation");
  const SataConfig &sata = *board.sata;
  if (!location || location->find(u"Port") == std::u16string::npos || sata.getConfigFails ||
      sata.getPortListFails || sata.nullArray) {
    return;
  }
  // The driver walks the list with an 8-bit count.
  size_t count = std::min<size_t>(sata.ports.size(), 255);
  const SataPortConfig *match = nullptr;
  for (size_t i = 0; i < count && match == nullptr; i++) {
    const SataPortConfig &entry = sata.ports[i];
    if (entry.name && entry.name->find(*location) != std::u16string::npos) {
      match = &entry;
    }
  }
  if (match == nullptr) {
    return;
  }
  std::optional<uint8_t> target;
  for (const SataDieRule &rule : kSataDies) {
    if (!matchesSystem(rule.systemIds, board.identity->systemId) || (rule.mode && *rule.mode != sata.mode)) {
      continue;
    }
    if (rule.entryDieMustBeZero && match->die != 0) {
      return;
    }
    std::optional<uint8_t> chosen = match->die == 0 ? rule.dieForZero : rule.dieForOther;
    target = chosen.value_or(match->die);
    break;
  }
  if (!target || *target > kLastRecordableDie || match->ahciPort >= kPortsPerDie) {
    return;
  }
  // A die whose bus register reads all ones is not populated: nothing is
  // recorded or written for it. Otherwise the port is recorded, and switched
  // off through the root device on the bus the register names, if any
  // answers there.
  uint32_t busRegister = facts.dieBuses.size() > *target ? facts.dieBuses[*target].value : 0xFFFFFFFFu;
  if (busRegister == 0xFFFFFFFFu) {
    return;
  }
  if (*target == 0) {
    out.pcd[kPcdDie0First + match->ahciPort] = 1;
  } else {
    out.pcd[kPcdOtherDies] = uint64_t{1} << (*target * kPortsPerDie + match->ahciPort + 8);
  }
  uint8_t bus = static_cast<uint8_t>(busRegister & 0xFF);
  for (const auto &[number, reset] : rootsByBus(board, bus)) {
    (void)number;
    // Bit 0 set, the port's bit set, bit 0 cleared: each a read-modify-write.
    uint32_t portBit = 0x10000u << match->ahciPort;
    uint32_t first = reset | 1u;
    uint32_t second = first | portBit;
    out.dieWrites[number] = {first, second, second & ~1u};
  }
}

// Case and spacing dropped: what two values that differ only in them share.
bool foldedAway(char16_t c) {
  return c == u' ' || c == u'\t';
}

char16_t foldedCase(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::u16string folded(std::u16string_view text) {
  std::u16string out;
  for (char16_t c : text) {
    if (!foldedAway(c)) {
      out += foldedCase(c);
    }
  }
  return out;
}

// The part of `text` that folds to `want`, if any: the shortest such span,
// trimmed of spaces at its ends (the leftmost of equal length). Each place
// where `want` occurs in the folded text gives one candidate, from the
// character folded first to the one folded last: time linear in the text
// for each place, where trying every span took minutes on a long port name.
std::optional<std::u16string> spanFolding(std::u16string_view text, const std::u16string &want) {
  if (want.empty()) {
    return std::nullopt;
  }
  std::u16string foldedText;
  std::vector<size_t> origin; // where in `text` each folded character comes from
  for (size_t at = 0; at < text.size(); at++) {
    if (!foldedAway(text[at])) {
      foldedText += foldedCase(text[at]);
      origin.push_back(at);
    }
  }
  std::optional<std::u16string_view> best;
  for (size_t found = foldedText.find(want); found != std::u16string::npos;
       found = foldedText.find(want, found + 1)) {
    size_t first = origin[found], last = origin[found + want.size() - 1];
    if (!best || last - first + 1 < best->size()) {
      best = text.substr(first, last - first + 1);
    }
  }
  return best ? std::optional<std::u16string>(std::u16string(*best)) : std::nullopt;
}

} // namespace

std::optional<std::u16string> nearlyActedOnValue(const Board &board, std::u16string_view name,
                                                 std::u16string_view value) {
  std::vector<std::u16string> actedOn;
  if (name == u"UsbPorts") {
    for (const UsbPortsValue &known : kUsbPortsValues) {
      actedOn.emplace_back(known.value);
    }
  } else if (name == u"InternalUsb" || name == u"InternalSdCard") {
    actedOn.emplace_back(kOff);
  } else if (name == u"RedundantOsState") {
    actedOn.emplace_back(kHidden);
  } else if (name == u"RedundantOsLocation") {
    actedOn = {std::u16string(kOnInternalUsb), std::u16string(kOnInternalSd)};
    // A SATA location is found inside a port's name.
    bool inAName = false;
    std::u16string want = folded(value);
    for (const SataPortConfig &port : board.sata ? board.sata->ports : std::vector<SataPortConfig>{}) {
      if (!port.name || want.empty()) {
        continue;
      }
      inAName |= port.name->find(value) != std::u16string::npos;
      if (auto span = spanFolding(*port.name, want); span && !inAName) {
        actedOn.push_back(*span);
      }
    }
    if (inAName) {
      return std::nullopt;
    }
  }
  if (std::find(actedOn.begin(), actedOn.end(), value) != actedOn.end()) {
    return std::nullopt;
  }
  for (const std::u16string &known : actedOn) {
    if (folded(known) == folded(value)) {
      return known;
    }
  }
  return std::nullopt;
}

PolicyOutcome actualPolicy(const BootRecord &record) {
  PolicyOutcome out;
  for (const PortMaskCall &call : record.portMaskCalls) {
    out.portMaskCalls.emplace_back(call.mask, call.value);
  }
  bool applied = std::any_of(record.hubCalls.begin(), record.hubCalls.end(),
                             [](const HubCall &call) { return call.kind == HubCall::Kind::ApplyConfig; });
  if (applied) {
    out.hubEnables = record.hubEnables;
  }
  out.hubLocations = record.hubLocations;
  out.pcd = record.pcdAfter;
  for (const DieRecord &die : record.dies) {
    if (!die.portDisableWrites.empty()) {
      out.dieWrites[die.die] = die.portDisableWrites;
    }
  }
  return out;
}

std::optional<PolicyOutcome> expectedPolicy(const Board &board, const BootRecord &record, std::string *note) {
  if (record.haltReason) {
    *note = "the machine halted";
    return std::nullopt;
  }
  if (!record.injected.empty()) {
    *note = "the board injects failures";
    return std::nullopt;
  }
  bool loaded = false, endOfDxe = false;
  for (const RecordedStep &step : record.timeline) {
    loaded |= step.step == Step::Load;
    endOfDxe |= loaded && step.step == Step::EndOfDxe;
  }
  PolicyOutcome out;
  if (!endOfDxe) {
    *note = "End of DXE was not signalled after the driver was loaded: nothing is switched";
    return out;
  }
  usbPolicy(board, out);
  sataPolicy(board, record.platform, out);
  return out;
}

} // namespace sim
