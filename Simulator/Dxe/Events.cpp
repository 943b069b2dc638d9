// SPDX-License-Identifier: BSD-2-Clause-Patent
// TPL and events: raise/restore with notify dispatch, event creation and
// validation, signalling (groups included), closing and checking.
#include "Dxe/DxeImpl.h"
#include "Host/FaultGuard.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>

namespace sim {

namespace {

constexpr std::array<UINT32, 14> kValidEventTypes = {
    0,
    EVT_TIMER,
    EVT_NOTIFY_WAIT,
    EVT_NOTIFY_SIGNAL,
    EVT_SIGNAL_EXIT_BOOT_SERVICES,
    EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE,
    EVT_TIMER | EVT_NOTIFY_WAIT,
    EVT_TIMER | EVT_NOTIFY_SIGNAL,
    EVT_RUNTIME,
    EVT_RUNTIME | EVT_NOTIFY_WAIT,
    EVT_RUNTIME | EVT_NOTIFY_SIGNAL,
    EVT_RUNTIME | EVT_TIMER,
    EVT_RUNTIME | EVT_TIMER | EVT_NOTIFY_WAIT,
    EVT_RUNTIME | EVT_TIMER | EVT_NOTIFY_SIGNAL,
};

EFI_TPL EFIAPI RaiseTplService(EFI_TPL newTpl) {
  auto &core = active();
  core.enterCounted("RaiseTPL", TPL_HIGH_LEVEL);
  return core.raiseTpl(newTpl);
}

VOID EFIAPI RestoreTplService(EFI_TPL oldTpl) {
  auto &core = active();
  core.enterCounted("RestoreTPL", TPL_HIGH_LEVEL);
  core.restoreTpl(oldTpl);
}

EFI_STATUS EFIAPI CreateEventService(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, VOID *context,
                                     EFI_EVENT *event) {
  auto &core = active();
  if (auto failed = core.enter("CreateEvent", TPL_NOTIFY)) {
    return *failed;
  }
  return core.createEvent(type, notifyTpl, notify, context, nullptr, event);
}

EFI_STATUS EFIAPI CreateEventExService(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify,
                                       CONST VOID *context, CONST EFI_GUID *group, EFI_EVENT *event) {
  auto &core = active();
  if (auto failed = core.enter("CreateEventEx", TPL_NOTIFY, group)) {
    return *failed;
  }
  return core.createEvent(type, notifyTpl, notify, const_cast<VOID *>(context), group, event);
}

EFI_STATUS EFIAPI SignalEventService(EFI_EVENT event) {
  auto &core = active();
  if (auto failed = core.enter("SignalEvent", TPL_HIGH_LEVEL)) {
    return *failed;
  }
  auto index = core.openEvent(event);
  if (!index) {
    core.diagnose("SignalEvent of an unknown or closed event");
    return EFI_INVALID_PARAMETER;
  }
  core.signal(*index);
  core.dispatchAbove(core.tpl);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI CloseEventService(EFI_EVENT event) {
  auto &core = active();
  if (auto failed = core.enter("CloseEvent", TPL_NOTIFY)) {
    return *failed;
  }
  return core.closeEvent(event);
}

EFI_STATUS EFIAPI CheckEventService(EFI_EVENT event) {
  auto &core = active();
  if (auto failed = core.enter("CheckEvent", TPL_NOTIFY)) {
    return *failed;
  }
  auto index = core.openEvent(event);
  if (!index) {
    core.diagnose("CheckEvent of an unknown or closed event");
    return EFI_INVALID_PARAMETER;
  }
  if ((core.events[*index].type & EVT_NOTIFY_SIGNAL) != 0) {
    return EFI_INVALID_PARAMETER;
  }
  // A wait event's notify runs when it is checked unsignalled; it may signal it.
  if (!core.eventStates[*index].signaled && (core.events[*index].type & EVT_NOTIFY_WAIT) != 0) {
    core.queueNotify(*index);
    core.dispatchAbove(core.tpl);
  }
  if (core.eventStates[*index].signaled) {
    core.eventStates[*index].signaled = false;
    return EFI_SUCCESS;
  }
  return EFI_NOT_READY;
}

} // namespace

void installEventServices(EFI_BOOT_SERVICES &boot) {
  boot.RaiseTPL = &RaiseTplService;
  boot.RestoreTPL = &RestoreTplService;
  boot.CreateEvent = &CreateEventService;
  boot.CreateEventEx = &CreateEventExService;
  boot.SignalEvent = &SignalEventService;
  boot.CloseEvent = &CloseEventService;
  boot.CheckEvent = &CheckEventService;
}

void DxeCore::Impl::setTpl(EFI_TPL level) {
  bool wasHigh = tpl >= TPL_HIGH_LEVEL;
  bool high = level >= TPL_HIGH_LEVEL;
  tpl = level;
  if (high && !wasHigh) {
    machine.setInterrupts(false);
  } else if (!high && wasHigh) {
    machine.setInterrupts(true);
  }
}

EFI_TPL DxeCore::Impl::raiseTpl(EFI_TPL level) {
  EFI_TPL old = tpl;
  if (level < old) {
    diagnose(fmt::format("RaiseTPL to {} below the current {}", tplName(level), tplName(old)));
  }
  if (level > TPL_HIGH_LEVEL) {
    diagnose(fmt::format("RaiseTPL to {} above TPL_HIGH_LEVEL", tplName(level)));
  }
  setTpl(level);
  return old;
}

void DxeCore::Impl::restoreTpl(EFI_TPL level) {
  if (level > tpl) {
    diagnose(fmt::format("RestoreTPL to {} above the current {}", tplName(level), tplName(tpl)));
  }
  dispatchAbove(level);
}

void DxeCore::Impl::dispatchAbove(EFI_TPL level) {
  for (;;) {
    auto highest = pending.empty() ? pending.end() : std::prev(pending.end());
    if (highest == pending.end() || highest->first <= level) {
      break;
    }
    EFI_TPL notifyTpl = highest->first;
    size_t index = highest->second.front();
    highest->second.pop_front();
    if (highest->second.empty()) {
      pending.erase(highest);
    }
    eventStates[index].pending = false;
    // A notify-signal event is signalled again only by a new signal.
    if ((events[index].type & EVT_NOTIFY_SIGNAL) != 0) {
      eventStates[index].signaled = false;
    }
    events[index].notifies++;
    // Copies: the notify may create events and move the vector.
    EFI_EVENT_NOTIFY notify = events[index].notify;
    void *context = events[index].context;
    EFI_EVENT handle = events[index].handle;
    setTpl(notifyTpl);
    {
      ImageScope scope(*this, events[index].owner);
      CodeScope code(*this, events[index].owner, reinterpret_cast<const void *>(notify));
      notifyStack.push_back(reinterpret_cast<uintptr_t>(notify));
      struct Pop {
        std::vector<uintptr_t> &stack;
        ~Pop() { stack.pop_back(); } // a halting machine unwinds through here
      } pop{notifyStack};
      callImage(*this, machine.context(), [&] { notify(handle, context); });
    }
    if (tpl != notifyTpl) {
      diagnose(fmt::format("notify function of an event of {} returned at {}, entered at {}",
                           events[index].owner, tplName(tpl), tplName(notifyTpl)));
    }
  }
  setTpl(level);
}

EFI_STATUS DxeCore::Impl::createEvent(UINT32 type, EFI_TPL notifyTpl, EFI_EVENT_NOTIFY notify, void *context,
                                      const EFI_GUID *group, EFI_EVENT *event) {
  if (event == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (std::find(kValidEventTypes.begin(), kValidEventTypes.end(), type) == kValidEventTypes.end()) {
    return EFI_INVALID_PARAMETER;
  }
  if ((type & (EVT_NOTIFY_WAIT | EVT_NOTIFY_SIGNAL)) != 0) {
    if (notify == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    if (notifyTpl <= TPL_APPLICATION || notifyTpl > TPL_HIGH_LEVEL) {
      return EFI_INVALID_PARAMETER;
    }
  }
  std::optional<EFI_GUID> joined;
  if (type == EVT_SIGNAL_EXIT_BOOT_SERVICES || type == EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE) {
    // These types already name their group.
    if (group != nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    joined = type == EVT_SIGNAL_EXIT_BOOT_SERVICES ? gEfiEventExitBootServicesGuid
                                                   : gSimVirtualAddressChangeGroupGuid;
  } else if (group != nullptr) {
    joined = *group;
  }

  size_t index = events.size();
  EventState state;
  state.token = std::make_unique<uint64_t>(index);
  EFI_EVENT handle = state.token.get();
  events.push_back(EventInfo{handle, type, notifyTpl, notify, context, joined, image, false, 0, 0});
  eventStates.push_back(std::move(state));
  eventIndex.emplace(handle, index);
  *event = handle;
  return EFI_SUCCESS;
}

std::optional<size_t> DxeCore::Impl::openEvent(EFI_EVENT event) const {
  auto it = eventIndex.find(event);
  if (it == eventIndex.end() || events[it->second].closed) {
    return std::nullopt;
  }
  return it->second;
}

void DxeCore::Impl::signal(size_t index) {
  const auto &event = events[index];
  if (event.group && (event.type & EVT_NOTIFY_SIGNAL) != 0) {
    signalGroup(*event.group);
    return;
  }
  signalNotes.push_back(SignalNote{machine.nowNs(), std::nullopt, index, image});
  signalOne(index);
}

void DxeCore::Impl::signalOne(size_t index) {
  events[index].signals++;
  auto &state = eventStates[index];
  if (state.signaled) {
    return;
  }
  state.signaled = true;
  if ((events[index].type & EVT_NOTIFY_SIGNAL) != 0) {
    queueNotify(index);
  }
}

void DxeCore::Impl::signalGroup(const EFI_GUID &group) {
  signalNotes.push_back(SignalNote{machine.nowNs(), group, 0, image});
  // By index: signalling never adds events, but keep the loop immune anyway.
  for (size_t i = 0; i < events.size(); i++) {
    const auto &event = events[i];
    if (!event.closed && event.group && sameGuid(*event.group, group) &&
        (event.type & EVT_NOTIFY_SIGNAL) != 0) {
      signalOne(i);
    }
  }
}

void DxeCore::Impl::queueNotify(size_t index) {
  auto &state = eventStates[index];
  if (state.pending) {
    return;
  }
  state.pending = true;
  pending[events[index].notifyTpl].push_back(index);
}

void DxeCore::Impl::unqueue(size_t index) {
  auto &state = eventStates[index];
  if (!state.pending) {
    return;
  }
  state.pending = false;
  auto it = pending.find(events[index].notifyTpl);
  if (it == pending.end()) {
    return;
  }
  auto &queue = it->second;
  queue.erase(std::remove(queue.begin(), queue.end(), index), queue.end());
  if (queue.empty()) {
    pending.erase(it);
  }
}

EFI_STATUS DxeCore::Impl::closeEvent(EFI_EVENT event) {
  auto index = openEvent(event);
  if (!index) {
    diagnose("CloseEvent of an unknown or closed event");
    return EFI_INVALID_PARAMETER;
  }
  unqueue(*index);
  eventStates[*index].signaled = false;
  events[*index].closed = true;
  dropRegistrations(*index);
  return EFI_SUCCESS;
}

} // namespace sim
