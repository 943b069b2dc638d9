// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "HtmlReport.h"
#include "Report.h"
#include "Timeline.h"

#include "Platform/S3Table.h"
#include "Host/TimeText.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kLabelWidth = 170;
constexpr double kPlotWidth = 1150;
constexpr double kRowHeight = 18;
constexpr double kTrackGap = 8;
constexpr double kAxisHeight = 28;

const char *kStyle = R"(body{font:13px/1.4 sans-serif;margin:16px;color:#222}
h1{font-size:20px}h2{font-size:16px;margin-top:24px}
table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 6px;text-align:left;vertical-align:top}
tr.pass td.verdict{background:#d7f5d7}tr.fail td.verdict{background:#f7c8c8}
tr.warn td.verdict{background:#fbecc0}tr.not-applicable td.verdict{color:#888}
pre.console{background:#f6f6f6;border:1px solid #ddd;padding:6px;white-space:pre-wrap;max-height:420px;overflow:auto}
pre.console .t{color:#888}
svg text{font:11px sans-serif}svg .track-label{font-weight:bold}
rect.slice{stroke:#333;stroke-width:.5}rect.step{fill:#c9d7ef}rect.returned{fill:#8fc98f}
rect.halted{fill:#e8b04c}rect.driver-fault{fill:#e05a5a}
.instant.signal{stroke:#7030a0}.instant.install{stroke:#1f6fb2}.instant.console{stroke:#777}
.instant.register{stroke:#c05000}line.instant{stroke-width:1.5}
line.tick{stroke:#bbb}line.row{stroke:#eee}
)";

std::string verdictClass(Verdict verdict) {
  return std::string(verdictName(verdict));
}

std::string expectedText(const CheckResult &check) {
  if (!check.expected) {
    return "";
  }
  std::string text(verdictName(check.expected->verdict));
  if (check.expected->count) {
    text += fmt::format(" (count {})", *check.expected->count);
  }
  return text;
}

// The console's times as `boot --timestamps` prints them.
std::string ms(uint64_t ns) {
  return msText(ns);
}

// A tick every 1, 2 or 5 times a power of ten of milliseconds, about ten across.
double tickStepNs(uint64_t spanNs) {
  double step = 1e3; // 1 us
  for (double m : {1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 200.0, 500.0, 1e3, 2e3, 5e3, 1e4, 2e4, 5e4, 1e5}) {
    step = m * 1e3;
    if (static_cast<double>(spanNs) / step <= 10) {
      break;
    }
  }
  while (static_cast<double>(spanNs) / step > 10) {
    step *= 10;
  }
  return step;
}

std::string svgTimeline(const TimelineView &view) {
  // Rows: one per nesting depth of each track, one for a track of instants.
  std::vector<unsigned> rows(view.tracks.size(), 1);
  for (const TimelineSlice &slice : view.slices) {
    rows[slice.track] = std::max(rows[slice.track], slice.depth + 1);
  }
  std::vector<double> top(view.tracks.size());
  double y = kAxisHeight;
  for (size_t i = 0; i < view.tracks.size(); i++) {
    top[i] = y;
    y += rows[i] * kRowHeight + kTrackGap;
  }
  double height = y + 4;
  double span = static_cast<double>(std::max<uint64_t>(view.endNs, 1));
  auto x = [span](uint64_t ns) { return kLabelWidth + kPlotWidth * static_cast<double>(ns) / span; };

  std::string out =
      fmt::format(R"(<svg id="timeline" xmlns="http://www.w3.org/2000/svg" width="{}" height="{}" )"
                  R"(data-end-ns="{}">)"
                  "\n",
                  kLabelWidth + kPlotWidth + 20, height, view.endNs);
  double step = tickStepNs(view.endNs);
  for (double t = 0; t <= span; t += step) {
    double px = kLabelWidth + kPlotWidth * t / span;
    out += fmt::format(R"(<line class="tick" x1="{:.1f}" y1="{}" x2="{:.1f}" y2="{}"/>)"
                       R"(<text class="tick-label" x="{:.1f}" y="{}">{:g} ms</text>)"
                       "\n",
                       px, kAxisHeight - 6, px, height, px + 2, kAxisHeight - 10, t / 1e6);
  }
  for (size_t i = 0; i < view.tracks.size(); i++) {
    out += fmt::format(R"(<g class="track" data-track="{}"><line class="row" x1="0" y1="{:.1f}" x2="{}" )"
                       R"(y2="{:.1f}"/><text class="track-label" x="4" y="{:.1f}">{}</text></g>)"
                       "\n",
                       htmlText(view.tracks[i]), top[i] - kTrackGap / 2, kLabelWidth + kPlotWidth,
                       top[i] - kTrackGap / 2, top[i] + 13, htmlText(view.tracks[i]));
  }
  for (const TimelineSlice &slice : view.slices) {
    double x0 = x(slice.startNs);
    double width = std::max(x(slice.endNs) - x0, 1.0);
    double y0 = top[slice.track] + slice.depth * kRowHeight;
    std::string kind = slice.image.empty()           ? "step"
                       : slice.end == "driver fault" ? "driver-fault"
                                                     : slice.end;
    std::string title = slice.image.empty()
                            ? fmt::format("{}: {} to {}", slice.name, ms(slice.startNs), ms(slice.endNs))
                            : fmt::format("{} {} at {}: {} to {} ({})", slice.image, slice.function,
                                          slice.tpl, ms(slice.startNs), ms(slice.endNs), slice.end);
    out += fmt::format(R"(<rect class="slice {}" x="{:.2f}" y="{:.1f}" width="{:.2f}" height="{}" )"
                       R"(data-track="{}" data-image="{}" data-function="{}" data-name="{}" data-tpl="{}" )"
                       R"(data-end="{}" data-start-ns="{}" data-end-ns="{}"><title>{}</title></rect>)",
                       kind, x0, y0 + 1, width, kRowHeight - 2, htmlText(view.tracks[slice.track]),
                       htmlText(slice.image), htmlText(slice.function), htmlText(slice.name),
                       htmlText(slice.tpl), htmlText(slice.end), slice.startNs, slice.endNs, htmlText(title));
    if (width > 7.0 * static_cast<double>(slice.name.size())) {
      out += fmt::format(R"(<text x="{:.2f}" y="{:.1f}">{}</text>)", x0 + 3, y0 + 13, htmlText(slice.name));
    }
    out += "\n";
  }
  for (const TimelineInstant &instant : view.instants) {
    double px = x(instant.timeNs);
    double y0 = top[instant.track];
    out +=
        fmt::format(R"(<line class="instant {}" x1="{:.2f}" y1="{:.1f}" x2="{:.2f}" y2="{:.1f}" )"
                    R"(data-kind="{}" data-name="{}" data-time-ns="{}"><title>{} ({})</title></line>)"
                    "\n",
                    instantKindName(instant.kind), px, y0, px, y0 + kRowHeight, instantKindName(instant.kind),
                    htmlText(instant.name), instant.timeNs, htmlText(instant.name), ms(instant.timeNs));
  }
  out += "</svg>\n";
  return out;
}

std::string checksTable(const BootRecord &r) {
  std::string out =
      "<table id=\"checks\">\n<tr><th>verdict</th><th>check</th><th>reason</th><th>expected</th></tr>\n";
  for (const CheckResult &check : r.checks) {
    out += fmt::format(R"(<tr class="check {}" data-name="{}" data-verdict="{}" data-as-expected="{}">)"
                       R"(<td class="verdict">{}</td><td class="name">{}</td><td class="reason">{}</td>)"
                       R"(<td class="expected">{}</td></tr>)"
                       "\n",
                       verdictClass(check.verdict), htmlText(check.name), verdictName(check.verdict),
                       check.asExpected() ? "true" : "false", verdictName(check.verdict),
                       htmlText(check.name), htmlText(check.reason), htmlText(expectedText(check)));
  }
  return out + "</table>\n";
}

std::string consoleSection(const BootRecord &r) {
  std::string out;
  for (unsigned i = 0; i < 2; i++) {
    const UartRecord &uart = r.console.uarts[i];
    std::string name = fmt::format("UART 0x{:X}", uart.base);
    out += fmt::format("<h3>{}</h3>\n", name);
    if (!uart.present) {
      out += "<p>not fitted</p>\n";
      continue;
    }
    out += fmt::format(R"(<pre class="console" id="console-{:X}" data-uart="{}">)", uart.base, name);
    for (const ConsoleLineRecord &line : r.timing.consoleLines) {
      if (line.uart == i) {
        out += fmt::format(R"(<span class="line" data-time-ns="{}"><span class="t">{:>12}</span> {}</span>)"
                           "\n",
                           line.timeNs, ms(line.timeNs), htmlText(line.text));
      }
    }
    out += "</pre>\n";
  }
  return out;
}

// The table the driver handed to SMM (the last hand-off the handler took),
// entry by entry as the S3 report decodes it.
std::string s3Section(const BootRecord &r) {
  const SmmCallRecord *handOff = nullptr;
  for (const SmmCallRecord &call : r.s3.smmCalls) {
    handOff = call.accepted && call.table ? &call : handOff;
  }
  if (handOff == nullptr) {
    return "<p id=\"s3-none\">No S3 save table was handed off to SMM.</p>\n";
  }
  const S3TableDecode &table = *handOff->table;
  std::string out = fmt::format("<p>{} entries, table length {} bytes{}</p>\n", table.entries.size(),
                                table.tableLength, table.valid ? "" : ", refused by the handler");
  for (const std::string &problem : table.problems) {
    out += fmt::format("<p class=\"s3-problem\">{}</p>\n", htmlText(problem));
  }
  out += "<table id=\"s3-table\">\n<tr><th>offset</th><th>type</th><th>size</th><th>entry</th></tr>\n";
  for (const S3TableEntry &entry : table.entries) {
    out += fmt::format(R"(<tr class="s3-entry" data-offset="{}"><td>0x{:X}</td><td>{}</td><td>{}</td>)"
                       R"(<td>{}</td></tr>)"
                       "\n",
                       entry.offset, entry.offset, entry.type, entry.size, htmlText(describeS3Entry(entry)));
  }
  return out + "</table>\n";
}

} // namespace

std::string htmlText(std::string_view text) {
  std::string out;
  for (char c : escapedBytes(text)) {
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
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

std::string htmlReport(const BootRecord &r) {
  TimelineView view = timelineView(r);
  std::string title = "dxesim boot " + r.boardName;
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  out += fmt::format("<title>{}</title>\n<style>\n{}</style>\n</head>\n<body>\n", htmlText(title), kStyle);
  out += fmt::format("<h1>{}</h1>\n<p id=\"outcome\">{}</p>\n", htmlText(title), htmlText(outcomeLine(r)));
  out += fmt::format("<h2>Timeline</h2>\n<p>Virtual time; {} calls into images. Hover a slice or a mark for "
                     "its details.</p>\n",
                     r.timing.calls.size());
  out += svgTimeline(view);
  out += "<h2>Checks</h2>\n" + checksTable(r);
  out += "<h2>Console</h2>\n" + consoleSection(r);
  out += "<h2>S3 save table</h2>\n" + s3Section(r);
  out += "</body>\n</html>\n";
  return out;
}

} // namespace sim
