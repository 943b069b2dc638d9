// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Golden.h"

#include "Report.h"

#include <fmt/format.h>

namespace sim {

using nlohmann::json;

namespace {

std::string hex(uint64_t value) {
  return fmt::format("0x{:X}", value);
}

// Times move with any change of the console's text, and trace positions
// with any access before them: neither is behaviour of its own.
void dropTiming(json &value) {
  if (value.is_object()) {
    for (auto it = value.begin(); it != value.end();) {
      const std::string &key = it.key();
      auto ends = [&key](std::string_view end) {
        return key.size() > end.size() && key.compare(key.size() - end.size(), end.size(), end) == 0;
      };
      // "armed_at" and the like are trace positions too.
      bool timing = ends("_ns") || ends("_at") || key.find("trace") != std::string::npos;
      if (timing) {
        it = value.erase(it);
      } else {
        dropTiming(*it);
        ++it;
      }
    }
  } else if (value.is_array()) {
    for (json &element : value) {
      dropTiming(element);
    }
  }
}

json consoleLines(const std::string &bytes) {
  json lines = json::array();
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    end = end == std::string::npos ? bytes.size() : end + 1;
    lines.push_back(bytes.substr(start, end - start));
    start = end;
  }
  return lines;
}

std::string codeName(const BootRecord &r, uint32_t context) {
  return context < r.codeNames.size() ? r.codeNames[context] : "";
}

// A fault's address and the place of its instruction depend on the host
// build (a sanitizer checks a wild address's shadow first and faults
// there; inlining moves instructions between functions), not on what the
// driver did: the record keeps the signal and the code that ran.
void dropFaultPlace(json &value, const std::string &detail, const std::string &kept) {
  if (value.is_string()) {
    std::string text = value.get<std::string>();
    for (size_t at = text.find(detail); at != std::string::npos; at = text.find(detail, at + kept.size())) {
      text.replace(at, detail.size(), kept);
    }
    value = text;
  } else if (value.is_structured()) {
    for (json &element : value) {
      dropFaultPlace(element, detail, kept);
    }
  }
}

} // namespace

json goldenRecord(const BootRecord &r) {
  json report = jsonReport(r);
  json golden;
  golden["format"] = kGoldenFormat;
  golden["board"] = r.boardName;
  json outcome = report["outcome"];
  // A fault's address is the host's.
  if (r.haltReason == HaltReason::DriverFault) {
    outcome["halt"].erase("detail");
  }
  golden["outcome"] = outcome;

  json verdicts = json::object();
  for (const CheckResult &check : r.checks) {
    json verdict = {{"verdict", verdictName(check.verdict)}, {"reason", check.reason}};
    if (check.count) {
      verdict["count"] = *check.count;
    }
    if (check.expected) {
      verdict["expected"] = std::string(verdictName(check.expected->verdict));
      if (check.expected->count) {
        verdict["expected_count"] = *check.expected->count;
      }
    }
    verdicts[check.name] = verdict;
  }
  golden["verdicts"] = verdicts;

  json console = json::object();
  for (const UartRecord &uart : r.console.uarts) {
    console[hex(uart.base)] = consoleLines(uart.bytes);
    if (uart.pending != 0 || uart.lost != 0) {
      console[hex(uart.base) + " unsent"] = {{"never_sent", uart.pending}, {"lost", uart.lost}};
    }
  }
  golden["console"] = console;

  json hardware = json::array();
  for (const HardwareAccess &access : r.hardware) {
    hardware.push_back({{"kind", accessKindName(access.kind)},
                        {"device", access.device},
                        {"register", access.reg},
                        {"address", hex(access.address)},
                        {"width", access.width},
                        {"value", hex(access.value)},
                        {"code", codeName(r, access.context)}});
  }
  golden["hardware"] = hardware;

  golden["calls"] = callsJson(r);

  // The rest of the state the boot left, as the report has it.
  for (const char *key : {"timeline",
                          "events",
                          "memory_map_changes",
                          "gcd",
                          "spi",
                          "spi_audit",
                          "dies",
                          "pcd_writes",
                          "nvram_reads",
                          "lookups",
                          "near_misses",
                          "usb_port_control",
                          "mc5744",
                          "policy",
                          "s3",
                          "assertions",
                          "breakpoints",
                          "fatal_stops",
                          "post_codes",
                          "pool_in_use",
                          "diagnostics",
                          "injected_failures",
                          "failure_rules",
                          "entry_status"}) {
    if (report.contains(key)) {
      golden[key] = report[key];
    }
  }
  dropTiming(golden);
  if (r.haltReason == HaltReason::DriverFault && r.haltDetail) {
    // "SIGSEGV writing 0x... (...) in IMAGE FUNCTION[, instruction in ...]"
    const std::string &detail = *r.haltDetail;
    std::string fault = detail.substr(0, detail.find(", instruction in "));
    size_t in = fault.rfind(" in ");
    std::string kept = detail.substr(0, detail.find(' ')) + (in == std::string::npos ? "" : fault.substr(in));
    dropFaultPlace(golden, detail, kept);
  }
  return golden;
}

namespace {

void writeCanonical(std::string &out, const json &value, int depth) {
  std::string indent(static_cast<size_t>(depth) * 2, ' ');
  std::string inner(static_cast<size_t>(depth + 1) * 2, ' ');
  if (depth < 2 && value.is_object() && !value.empty()) {
    out += "{\n";
    size_t i = 0;
    for (const auto &[key, element] : value.items()) {
      out += inner + json(key).dump() + ": ";
      writeCanonical(out, element, depth + 1);
      out += ++i < value.size() ? ",\n" : "\n";
    }
    out += indent + "}";
  } else if (depth < 2 && value.is_array() && !value.empty()) {
    out += "[\n";
    for (size_t i = 0; i < value.size(); i++) {
      out += inner + value[i].dump(-1, ' ', false, json::error_handler_t::replace);
      out += i + 1 < value.size() ? ",\n" : "\n";
    }
    out += indent + "]";
  } else {
    out += value.dump(-1, ' ', false, json::error_handler_t::replace);
  }
}

} // namespace

std::string canonicalJson(const json &value) {
  std::string out;
  writeCanonical(out, value, 0);
  return out + "\n";
}

} // namespace sim
