// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Timeline.h"
#include "Report.h"

#include "Machine/PciMmioWindow.h"
#include "Machine/SpiController.h"

#include <fmt/format.h>

#include <algorithm>

namespace sim {

namespace {

const char *callEndName(ImageCallEnd end) {
  switch (end) {
  case ImageCallEnd::Returned:
    return "returned";
  case ImageCallEnd::Halted:
    return "halted";
  case ImageCallEnd::DriverFault:
    return "driver fault";
  }
  return "?";
}

size_t trackOf(std::vector<std::string> &tracks, const std::string &name) {
  auto found = std::find(tracks.begin(), tracks.end(), name);
  if (found != tracks.end()) {
    return static_cast<size_t>(found - tracks.begin());
  }
  tracks.push_back(name);
  return tracks.size() - 1;
}

std::string signalName(const SignalRecord &signal) {
  if (signal.group) {
    return "signal " + guidDisplayName(*signal.group);
  }
  std::string function = signal.notifyFunction.empty() ? "" : " " + signal.notifyFunction;
  return "signal event of " + signal.eventOwner + function;
}

std::string hubWriteName(const HubWriteRecord &write) {
  switch (write.target) {
  case HubTarget::Spi:
    return fmt::format("SPI {} = 0x{:X}", spiRegisterName(write.offset), write.value);
  case HubTarget::PciWindow:
    return fmt::format("PCI window {} = 0x{:X}", pciWindowRegisterName(write.offset), write.value);
  case HubTarget::DieRegister:
    return fmt::format("die {} 0x{:08X} = 0x{:X}", write.die, write.offset, write.value);
  }
  return "?";
}

// Microseconds of virtual time, as the trace-event format counts.
double micros(uint64_t ns) {
  return static_cast<double>(ns) / 1000.0;
}

} // namespace

std::string escapedBytes(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E || byte == '\\') {
      out += fmt::format("\\x{:02X}", byte);
    } else {
      out += c;
    }
  }
  return out;
}

const char *instantKindName(InstantKind kind) {
  switch (kind) {
  case InstantKind::Signal:
    return "signal";
  case InstantKind::Install:
    return "install";
  case InstantKind::ConsoleLine:
    return "console";
  case InstantKind::RegisterWrite:
    return "register";
  }
  return "?";
}

TimelineView timelineView(const BootRecord &r) {
  TimelineView view;
  view.tracks.push_back("platform");
  view.endNs = r.virtualTimeNs;
  // A step lasts until the next one starts; the last one until the boot's end.
  for (size_t i = 0; i < r.timeline.size(); i++) {
    const RecordedStep &step = r.timeline[i];
    uint64_t end = i + 1 < r.timeline.size() ? r.timeline[i + 1].startNs : r.virtualTimeNs;
    std::string name = step.ran ? stepName(step.step) : std::string(stepName(step.step)) + " (halted)";
    view.slices.push_back(
        TimelineSlice{0, name, "", "", step.startNs, std::max(end, step.startNs), 0, "", ""});
  }
  for (const ImageCallRecord &call : r.timing.calls) {
    std::string image = call.image.empty() ? "unknown image" : call.image;
    size_t track = trackOf(view.tracks, image);
    std::string name = call.function.empty() ? "(unknown function)" : call.function;
    view.slices.push_back(TimelineSlice{track, name, call.image, call.function, call.startNs, call.endNs,
                                        call.depth, tplName(call.tpl), callEndName(call.end)});
  }
  for (const SignalRecord &signal : r.timing.signals) {
    view.instants.push_back(TimelineInstant{0, InstantKind::Signal, signalName(signal), signal.timeNs});
  }
  for (const InstallRecord &install : r.timing.installs) {
    view.instants.push_back(TimelineInstant{0, InstantKind::Install,
                                            "install " + guidDisplayName(install.protocol), install.timeNs});
  }
  if (!r.timing.hubWrites.empty()) {
    size_t track = trackOf(view.tracks, "hub registers");
    for (const HubWriteRecord &write : r.timing.hubWrites) {
      view.instants.push_back(
          TimelineInstant{track, InstantKind::RegisterWrite, hubWriteName(write), write.timeNs});
    }
  }
  for (const ConsoleLineRecord &line : r.timing.consoleLines) {
    size_t track = trackOf(view.tracks, fmt::format("UART 0x{:X}", r.console.uarts[line.uart].base));
    view.instants.push_back(
        TimelineInstant{track, InstantKind::ConsoleLine, escapedBytes(line.text), line.timeNs});
  }
  for (const TimelineSlice &slice : view.slices) {
    view.endNs = std::max(view.endNs, slice.endNs);
  }
  for (const TimelineInstant &instant : view.instants) {
    view.endNs = std::max(view.endNs, instant.timeNs);
  }
  return view;
}

nlohmann::json timelineJson(const BootRecord &r) {
  using json = nlohmann::json;
  TimelineView view = timelineView(r);
  json events = json::array();
  constexpr int kPid = 1;
  // Thread ids from 1: some viewers treat tid 0 as no thread.
  auto tid = [](size_t track) { return static_cast<int>(track) + 1; };
  events.push_back({{"ph", "M"},
                    {"name", "process_name"},
                    {"pid", kPid},
                    {"tid", 0},
                    {"args", {{"name", "dxesim boot " + r.boardName}}}});
  for (size_t i = 0; i < view.tracks.size(); i++) {
    events.push_back({{"ph", "M"},
                      {"name", "thread_name"},
                      {"pid", kPid},
                      {"tid", tid(i)},
                      {"args", {{"name", view.tracks[i]}}}});
    events.push_back({{"ph", "M"},
                      {"name", "thread_sort_index"},
                      {"pid", kPid},
                      {"tid", tid(i)},
                      {"args", {{"sort_index", i}}}});
  }
  for (const TimelineSlice &slice : view.slices) {
    json args = {{"start_ns", slice.startNs}, {"end_ns", slice.endNs}};
    if (!slice.image.empty()) {
      args["image"] = slice.image;
      args["function"] = slice.function;
      args["tpl"] = slice.tpl;
      args["end"] = slice.end;
      args["depth"] = slice.depth;
    }
    events.push_back({{"ph", "X"},
                      {"name", slice.name},
                      {"cat", slice.image.empty() ? "step" : "call"},
                      {"pid", kPid},
                      {"tid", tid(slice.track)},
                      {"ts", micros(slice.startNs)},
                      {"dur", micros(slice.endNs - slice.startNs)},
                      {"args", args}});
  }
  for (const TimelineInstant &instant : view.instants) {
    events.push_back({{"ph", "i"},
                      {"name", instant.name},
                      {"cat", instantKindName(instant.kind)},
                      {"pid", kPid},
                      {"tid", tid(instant.track)},
                      {"ts", micros(instant.timeNs)},
                      {"s", "t"},
                      {"args", {{"time_ns", instant.timeNs}}}});
  }
  return {{"traceEvents", events},
          {"displayTimeUnit", "ms"},
          {"otherData", {{"board", r.boardName}, {"virtual_time_ns", r.virtualTimeNs}}}};
}

} // namespace sim
