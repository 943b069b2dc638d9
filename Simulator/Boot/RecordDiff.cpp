// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "RecordDiff.h"

#include "Golden.h"

#include <fmt/format.h>

#include <algorithm>
#include <functional>
#include <set>
#include <stdexcept>

namespace sim {

using nlohmann::json;

namespace {

std::string compact(const json &value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string text(const json &value) {
  return value.is_string() ? value.get<std::string>() : compact(value);
}

std::string field(const json &entry, const char *key) {
  return entry.contains(key) ? text(entry[key]) : "";
}

// How one element of a list reads in the diff.
std::string hardwareLine(const json &a) {
  std::string target = field(a, "device").empty()
                           ? field(a, "address")
                           : fmt::format("{} {}", field(a, "device"), field(a, "register"));
  std::string line = fmt::format("{} {}", field(a, "kind"), target);
  if (!field(a, "register").empty() || !field(a, "device").empty()) {
    line += fmt::format(" ({})", field(a, "address"));
  }
  line += fmt::format(" w{} = {}", field(a, "width"), field(a, "value"));
  if (!field(a, "code").empty()) {
    line += " by " + field(a, "code");
  }
  return line;
}

std::string callLine(const json &c) {
  std::string line = field(c, "service");
  if (c.contains("guid")) {
    line += fmt::format("({})", field(c, "guid"));
  }
  line += fmt::format(" by {} {}", field(c, "image"), field(c, "function"));
  if (c.contains("injected")) {
    line += " -> failed with " + field(c, "injected");
  }
  return line;
}

std::string consoleLine(const json &line) {
  // Escaped as JSON escapes it, without the quotes: CR and control bytes show.
  std::string quoted = compact(line);
  return quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : quoted;
}

// The lines of an edit script between two lists: common prefix and suffix
// first, then the longest common subsequence of what is left (when that is
// small enough to tabulate; otherwise all of it changed).
void listDiff(const std::vector<std::string> &a, const std::vector<std::string> &b, DiffSection &section) {
  size_t prefix = 0;
  while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix]) {
    prefix++;
  }
  size_t suffix = 0;
  while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
         a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix]) {
    suffix++;
  }
  size_t n = a.size() - prefix - suffix, m = b.size() - prefix - suffix;
  auto removed = [&](size_t i) {
    section.lines.push_back(fmt::format("- [{}] {}", prefix + i, a[prefix + i]));
    section.changes++;
  };
  auto added = [&](size_t j) {
    section.lines.push_back(fmt::format("+ [{}] {}", prefix + j, b[prefix + j]));
    section.changes++;
  };
  constexpr size_t kMaxTable = 4000000;
  if (n == 0 || m == 0 || n * m > kMaxTable) {
    for (size_t i = 0; i < n; i++) {
      removed(i);
    }
    for (size_t j = 0; j < m; j++) {
      added(j);
    }
    return;
  }
  // lcs[i][j]: of a[i..] and b[j..], in the middle part.
  std::vector<uint32_t> lcs((n + 1) * (m + 1), 0);
  auto at = [&](size_t i, size_t j) -> uint32_t & { return lcs[i * (m + 1) + j]; };
  for (size_t i = n; i-- > 0;) {
    for (size_t j = m; j-- > 0;) {
      at(i, j) = a[prefix + i] == b[prefix + j] ? at(i + 1, j + 1) + 1 : std::max(at(i + 1, j), at(i, j + 1));
    }
  }
  size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && a[prefix + i] == b[prefix + j]) {
      i++;
      j++;
    } else if (i < n && (j == m || at(i + 1, j) >= at(i, j + 1))) {
      removed(i++);
    } else {
      added(j++);
    }
  }
}

std::vector<std::string> lines(const json &list, const std::function<std::string(const json &)> &render) {
  std::vector<std::string> out;
  if (list.is_array()) {
    for (const json &element : list) {
      out.push_back(render(element));
    }
  } else if (!list.is_null()) {
    out.push_back(render(list));
  }
  return out;
}

// Changed values under a path, one line each.
void valueDiff(const std::string &path, const json &a, const json &b, DiffSection &section) {
  if (a == b) {
    return;
  }
  if (a.is_object() && b.is_object()) {
    std::set<std::string> keys;
    for (const auto &[key, value] : a.items()) {
      keys.insert(key);
    }
    for (const auto &[key, value] : b.items()) {
      keys.insert(key);
    }
    for (const std::string &key : keys) {
      valueDiff(path.empty() ? key : path + "." + key, a.contains(key) ? a[key] : json(),
                b.contains(key) ? b[key] : json(), section);
    }
    return;
  }
  if (a.is_array() && b.is_array()) {
    DiffSection list;
    listDiff(lines(a, compact), lines(b, compact), list);
    for (std::string &line : list.lines) {
      section.lines.push_back(fmt::format("{} {}{}", line.substr(0, 1), path, line.substr(1)));
    }
    section.changes += list.changes;
    return;
  }
  section.lines.push_back(fmt::format("  {}: {} -> {}", path, a.is_null() ? "(none)" : compact(a),
                                      b.is_null() ? "(none)" : compact(b)));
  section.changes++;
}

void verdictDiff(const json &a, const json &b, DiffSection &section) {
  std::vector<std::string> names;
  for (const json *side : {&a, &b}) {
    if (!side->is_object()) {
      continue;
    }
    for (const auto &[name, value] : side->items()) {
      if (std::find(names.begin(), names.end(), name) == names.end()) {
        names.push_back(name);
      }
    }
  }
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    json va = a.is_object() && a.contains(name) ? a[name] : json();
    json vb = b.is_object() && b.contains(name) ? b[name] : json();
    if (va == vb) {
      continue;
    }
    section.changes++;
    if (va.is_null() || vb.is_null()) {
      const json &only = va.is_null() ? vb : va;
      section.headlines.push_back(
          fmt::format("{}{}: {}", va.is_null() ? "+" : "-", name, field(only, "verdict")));
      section.lines.push_back(fmt::format("{} {}: {}: {}", va.is_null() ? "+" : "-", name,
                                          field(only, "verdict"), field(only, "reason")));
    } else if (field(va, "verdict") != field(vb, "verdict")) {
      section.headlines.push_back(
          fmt::format("{}: {} -> {}", name, field(va, "verdict"), field(vb, "verdict")));
      section.lines.push_back(fmt::format("  {}: {} -> {}: {}", name, field(va, "verdict"),
                                          field(vb, "verdict"), field(vb, "reason")));
    } else {
      DiffSection detail;
      valueDiff(name, va, vb, detail);
      section.lines.insert(section.lines.end(), detail.lines.begin(), detail.lines.end());
    }
  }
}

const json &member(const json &record, const std::string &key) {
  static const json kNone;
  return record.contains(key) ? record[key] : kNone;
}

void requireGolden(const json &record, const char *which) {
  if (!record.is_object() || !record.contains("format") || record["format"] != kGoldenFormat ||
      !record.contains("verdicts")) {
    throw std::invalid_argument(fmt::format("{} is not a golden record of format {}", which, kGoldenFormat));
  }
}

} // namespace

RecordDiff diffRecords(const json &a, const json &b) {
  requireGolden(a, "the first");
  requireGolden(b, "the second");
  RecordDiff diff;
  auto keep = [&diff](DiffSection section) {
    if (section.changes != 0) {
      diff.sections.push_back(std::move(section));
    }
  };
  DiffSection outcome{"outcome", {}, 0, {}};
  valueDiff("", member(a, "outcome"), member(b, "outcome"), outcome);
  valueDiff("entry_status", member(a, "entry_status"), member(b, "entry_status"), outcome);
  keep(std::move(outcome));
  DiffSection verdicts{"verdicts", {}, 0, {}};
  verdictDiff(member(a, "verdicts"), member(b, "verdicts"), verdicts);
  keep(std::move(verdicts));

  DiffSection hardware{"hardware", {}, 0, {}};
  listDiff(lines(member(a, "hardware"), hardwareLine), lines(member(b, "hardware"), hardwareLine), hardware);
  keep(std::move(hardware));

  std::set<std::string> uarts;
  for (const json *side : {&member(a, "console"), &member(b, "console")}) {
    if (side->is_object()) {
      for (const auto &[key, value] : side->items()) {
        uarts.insert(key);
      }
    }
  }
  for (const std::string &uart : uarts) {
    DiffSection console{"console " + uart, {}, 0, {}};
    const json &ca = member(member(a, "console"), uart);
    const json &cb = member(member(b, "console"), uart);
    if (ca.is_array() || cb.is_array()) {
      listDiff(lines(ca, consoleLine), lines(cb, consoleLine), console);
    } else {
      valueDiff(uart, ca, cb, console);
    }
    keep(std::move(console));
  }

  DiffSection calls{"calls", {}, 0, {}};
  listDiff(lines(member(a, "calls"), callLine), lines(member(b, "calls"), callLine), calls);
  keep(std::move(calls));

  std::set<std::string> rest;
  for (const json *side : {&a, &b}) {
    for (const auto &[key, value] : side->items()) {
      rest.insert(key);
    }
  }
  for (const char *done :
       {"format", "board", "outcome", "entry_status", "verdicts", "hardware", "console", "calls"}) {
    rest.erase(done);
  }
  for (const std::string &key : rest) {
    DiffSection section{key, {}, 0, {}};
    valueDiff(key, member(a, key), member(b, key), section);
    keep(std::move(section));
  }
  return diff;
}

std::string RecordDiff::summary() const {
  std::vector<std::string> parts;
  for (const DiffSection &section : sections) {
    parts.push_back(section.headlines.empty()
                        ? section.title
                        : fmt::format("{} ({})", section.title, fmt::join(section.headlines, "; ")));
  }
  return parts.empty() ? "the same" : fmt::format("{}", fmt::join(parts, ", "));
}

std::string diffText(const RecordDiff &diff, size_t maxLines) {
  std::string out;
  for (const DiffSection &section : diff.sections) {
    out +=
        fmt::format("== {} ({} change{})\n", section.title, section.changes, section.changes == 1 ? "" : "s");
    size_t shown = std::min(maxLines, section.lines.size());
    for (size_t i = 0; i < shown; i++) {
      out += section.lines[i] + "\n";
    }
    if (shown < section.lines.size()) {
      out += fmt::format("   ... and {} more line{}\n", section.lines.size() - shown,
                         section.lines.size() - shown == 1 ? "" : "s");
    }
  }
  return out;
}

} // namespace sim
