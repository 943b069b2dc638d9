// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Report/Junit.h"

#include <fmt/format.h>

namespace sim::report {

namespace {

// The length of the well-formed UTF-8 sequence at text[i] that XML 1.0 may
// carry, or 0: overlong forms, surrogates, U+FFFE/U+FFFF and code points
// past U+10FFFF are not characters there.
size_t xmlCharacterLength(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = byte(i);
  size_t length = lead < 0x80             ? 1
                  : (lead & 0xE0) == 0xC0 ? 2
                  : (lead & 0xF0) == 0xE0 ? 3
                  : (lead & 0xF8) == 0xF0 ? 4
                                          : 0;
  if (length == 0 || i + length > text.size()) {
    return 0;
  }
  uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
  for (size_t k = 1; k < length; k++) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      return 0;
    }
    point = (point << 6) | (byte(i + k) & 0x3F);
  }
  constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kLeast[length] || (point >= 0xD800 && point <= 0xDFFF) || point == 0xFFFE || point == 0xFFFF ||
      point > 0x10FFFF) {
    return 0;
  }
  if (point < 0x20 && point != '\t' && point != '\n' && point != '\r') {
    return 0;
  }
  return point == 0x7F ? 0 : length;
}

void attribute(std::string &out, std::string_view name, std::string_view value) {
  out += fmt::format(" {}=\"{}\"", name, xmlEscape(value, true));
}

void counts(std::string &out, const CaseCounts &counts) {
  out += fmt::format(" tests=\"{}\" failures=\"{}\" errors=\"{}\" skipped=\"{}\"", counts.tests,
                     counts.failures, counts.errors, counts.skipped);
}

std::string seconds(double value) {
  return fmt::format("{:.6f}", value);
}

// The reason and the evidence, one per line: the body of a failure or error.
std::string details(const CheckResult &check) {
  std::string out = caseMessage(check);
  for (const std::string &evidence : check.evidence) {
    out += "\n" + evidence;
  }
  return out;
}

void testCase(std::string &out, const SuiteBoot &suite, const CheckResult &check, bool strict) {
  out += "    <testcase";
  attribute(out, "name", check.name);
  attribute(out, "classname", suite.classname);
  out += " time=\"0\"";
  auto element = [&](const char *tag, std::string_view type, std::string_view message,
                     std::string_view body) {
    out += fmt::format(">\n      <{}", tag);
    attribute(out, "message", message);
    if (!type.empty()) {
      attribute(out, "type", type);
    }
    if (body.empty()) {
      out += "/>\n    </testcase>\n";
    } else {
      out += fmt::format(">{}</{}>\n    </testcase>\n", xmlEscape(body, false), tag);
    }
  };
  switch (caseKind(check, suite.halted)) {
  case CaseKind::Pass:
    out += "/>\n";
    break;
  case CaseKind::Warning:
    if (strict) {
      element("failure", "warning", caseMessage(check), details(check));
    } else {
      out += fmt::format(">\n      <system-out>{}</system-out>\n    </testcase>\n",
                         xmlEscape("warn: " + details(check), false));
    }
    break;
  case CaseKind::Failure:
    element("failure", "fail", caseMessage(check), details(check));
    break;
  case CaseKind::Error:
    element("error", suite.halted && check.name == "halt" ? "halt" : check.name, caseMessage(check),
            details(check));
    break;
  case CaseKind::Expected: {
    std::string why = check.expected->reason.empty() ? check.reason : check.expected->reason;
    element("skipped", "", fmt::format("expected {}: {}", verdictName(check.verdict), why), "");
    break;
  }
  case CaseKind::NotApplicable:
    element("skipped", "", "not applicable: " + check.reason, "");
    break;
  }
}

} // namespace

std::string xmlEscape(std::string_view text, bool attribute) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t length = xmlCharacterLength(text, i);
    if (length == 0) {
      out += fmt::format("\\x{:02X}", static_cast<unsigned char>(text[i]));
      i++;
      continue;
    }
    char c = text[i];
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += attribute ? "&quot;" : "\"";
      break;
    // Attribute values normalise raw white space to spaces; references keep it.
    case '\n':
      out += attribute ? "&#10;" : "\n";
      break;
    case '\r':
      out += "&#13;";
      break;
    case '\t':
      out += attribute ? "&#9;" : "\t";
      break;
    default:
      out.append(text.substr(i, length));
    }
    i += length;
  }
  return out;
}

std::string junitXml(const TestRun &run) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites";
  attribute(out, "name", run.title);
  counts(out, countCases(run));
  double total = 0;
  for (const SuiteBoot &suite : run.suites) {
    total += suite.seconds;
  }
  out += fmt::format(" time=\"{}\">\n", seconds(total));
  if (!run.note.empty()) {
    // A comment may hold no "--".
    std::string note = xmlEscape(run.note, false);
    for (size_t at = note.find("--"); at != std::string::npos; at = note.find("--", at)) {
      note.replace(at, 2, "- -");
    }
    out += fmt::format("  <!-- {} -->\n", note);
  }
  for (const SuiteBoot &suite : run.suites) {
    out += "  <testsuite";
    attribute(out, "name", suite.name);
    counts(out, countCases(suite, run.strict));
    out += fmt::format(" time=\"{}\">\n", seconds(suite.seconds));
    if (suite.boots != 1) {
      out +=
          fmt::format("    <properties>\n      <property name=\"boots\" value=\"{}\"/>\n    </properties>\n",
                      suite.boots);
    }
    if (!suite.error.empty()) {
      out += "    <testcase name=\"boot\"";
      attribute(out, "classname", suite.classname);
      out += " time=\"0\">\n      <error";
      attribute(out, "message", suite.error);
      out += " type=\"error\"/>\n    </testcase>\n";
    }
    for (const CheckResult &check : suite.checks) {
      testCase(out, suite, check, run.strict);
    }
    out += "  </testsuite>\n";
  }
  out += "</testsuites>\n";
  return out;
}

} // namespace sim::report
