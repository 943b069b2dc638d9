// SPDX-License-Identifier: BSD-2-Clause-Patent
// Shared fixture of the simulated DXE core tests: a machine, a core, its
// tables, and notify functions that log which notify ran at which TPL.
#pragma once

#include "Dxe/DxeCore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace dxetest {

struct Probe {
  std::string name;
  std::vector<std::string> *log;
  sim::DxeCore *core;
  std::function<void()> action; // runs inside the notify, after the log entry
};

// Logs "<name>@<TPL>" and runs the probe's action.
inline VOID EFIAPI ProbeNotify(EFI_EVENT, VOID *context) {
  auto *probe = static_cast<Probe *>(context);
  probe->log->push_back(probe->name + "@" + sim::tplName(probe->core->currentTpl()));
  if (probe->action) {
    probe->action();
  }
}

class DxeTest : public ::testing::Test {
protected:
  sim::Machine machine;
  sim::DxeCore core{machine};
  EFI_SYSTEM_TABLE *st = core.systemTable();
  EFI_BOOT_SERVICES *bs = st->BootServices;
  std::vector<std::string> log;
  std::deque<Probe> probes; // stable addresses for notify contexts

  Probe *probe(std::string name, std::function<void()> action = {}) {
    probes.push_back(Probe{std::move(name), &log, &core, std::move(action)});
    return &probes.back();
  }

  // A notify event created through the boot services table.
  EFI_EVENT notifyEvent(EFI_TPL tpl, std::string name, std::function<void()> action = {},
                        UINT32 type = EVT_NOTIFY_SIGNAL) {
    EFI_EVENT event = nullptr;
    EXPECT_EQ(bs->CreateEvent(type, tpl, &ProbeNotify, probe(std::move(name), std::move(action)), &event),
              EFI_SUCCESS);
    return event;
  }

  EFI_EVENT groupEvent(const EFI_GUID &group, EFI_TPL tpl, std::string name) {
    EFI_EVENT event = nullptr;
    EXPECT_EQ(bs->CreateEventEx(EVT_NOTIFY_SIGNAL, tpl, &ProbeNotify, probe(std::move(name)), &group, &event),
              EFI_SUCCESS);
    return event;
  }

  bool hasDiagnostic(std::string_view text) const {
    const auto &lines = core.diagnostics();
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &line) { return line.find(text) != std::string::npos; });
  }

  const sim::EventInfo &info(EFI_EVENT event) const {
    const auto &events = core.events();
    auto it = std::find_if(events.begin(), events.end(),
                           [&](const sim::EventInfo &e) { return e.handle == event; });
    EXPECT_NE(it, events.end());
    return *it;
  }
};

// Distinct GUIDs for tests.
inline EFI_GUID kGuidA = {0xA0000001, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x01}};
inline EFI_GUID kGuidB = {0xB0000002, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x02}};
inline EFI_GUID kGuidC = {0xC0000003, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x03}};

} // namespace dxetest
