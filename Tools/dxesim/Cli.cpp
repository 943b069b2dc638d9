// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim's command line: the subcommands, their options, and the boot and
// s3 decode commands; sweep and matrix are in Explore.cpp, ovmf in Ovmf.cpp.
#include "Cli.h"

#include "BoardCommand.h"
#include "Boot/Boot.h"
#include "Boot/Checks.h"
#include "Boot/HtmlReport.h"
#include "Boot/Record.h"
#include "Boot/Report.h"
#include "Boot/S3Report.h"
#include "Boot/Timeline.h"
#include "Boot/Trace.h"
#include "Diff.h"
#include "ExitStatus.h"
#include "Explore.h"
#include "Host/BoundedFile.h"
#include "Host/NearestName.h"
#include "Host/OutputFile.h"
#include "Host/TimeText.h"
#include "Ovmf.h"
#include "Report/Junit.h"
#include "Report/Markdown.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <thread>

namespace dxesim {

namespace {

constexpr const char *kVersion = "dxesim 1.1.0 (report format 1)";

struct BootOptions {
  std::string board, json, trace, traceFormat = "text", image, saveS3, junit, markdown, timeline, html;
  std::vector<std::string> traceKinds, traceAddresses, traceDevices;
  std::string traceTime;
  bool quiet = false, bothConsoles = false, strict = false, timestamps = false;
};

// Writes to a file, or to standard output for "-", every write checked.
void writeOut(const std::string &path, const std::string &text, const char *what) {
  sim::writeOutput(path, text, what);
}

// BASE[,BUSES]: a window starts on a 1 MiB boundary (its MSR holds bits 63:20).
std::pair<uint64_t, unsigned> parseWindow(const std::string &window) {
  size_t comma = window.find(',');
  uint64_t base = parseNumber(window.substr(0, comma), "--window", NumberUnit::None);
  uint64_t buses =
      comma == std::string::npos ? 256 : parseNumber(window.substr(comma + 1), "--window", NumberUnit::None);
  if ((base & 0xFFFFF) != 0) {
    throw UsageError(fmt::format("--window: 0x{:X} is not on a 1 MiB boundary", base));
  }
  if (buses == 0 || buses > 256) {
    throw UsageError(fmt::format("--window: {} buses is not 1 to 256", buses));
  }
  return {base, static_cast<unsigned>(buses)};
}

std::pair<uint64_t, uint64_t> parseRange(const std::string &text, const char *what, NumberUnit unit) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) {
    uint64_t value = parseNumber(text, what, unit);
    return {value, value};
  }
  auto range = std::make_pair(parseNumber(text.substr(0, dash), what, unit),
                              parseNumber(text.substr(dash + 1), what, unit));
  if (range.first > range.second) {
    throw UsageError(fmt::format("{}: \"{}\" ends before it starts", what, printable(text)));
  }
  return range;
}

sim::TraceFilter traceFilter(const BootOptions &options) {
  sim::TraceFilter filter;
  for (const std::string &kind : options.traceKinds) {
    auto parsed = sim::accessKindFromName(kind);
    if (!parsed) {
      throw UsageError(fmt::format("--trace-kind: \"{}\" is no access kind (io-read, io-write, mmio-read, "
                                   "mmio-write, cpuid, rdmsr, cli, sti, int3, debug-query, interrupt)",
                                   printable(kind)));
    }
    filter.kinds.push_back(*parsed);
  }
  for (const std::string &range : options.traceAddresses) {
    filter.addressRanges.push_back(parseRange(range, "--trace-address", NumberUnit::None));
  }
  for (const std::string &device : options.traceDevices) {
    if (device.empty()) {
      throw UsageError("--trace-device: an empty device name");
    }
  }
  filter.devices = options.traceDevices;
  if (!options.traceTime.empty()) {
    auto [from, to] = parseRange(options.traceTime, "--trace-time", NumberUnit::Time);
    filter.fromNs = from;
    filter.toNs = to;
  }
  return filter;
}

// The second UART's lines that differ from the first's, marked as its own.
// "[   41.234 ms] ": a console line's time, that of its line feed going out
// (a last line without one: its last byte's).
std::string lineStamp(const sim::ConsoleLineRecord &line) {
  return fmt::format("[{:>12}] ", sim::msText(line.timeNs));
}

// Each line's stamp of one UART's console, in order.
std::vector<std::string> lineStamps(const sim::BootRecord &record, unsigned uart) {
  std::vector<std::string> stamps;
  for (const sim::ConsoleLineRecord &line : record.timing.consoleLines) {
    if (line.uart == uart) {
      stamps.push_back(lineStamp(line));
    }
  }
  return stamps;
}

// The first UART's console, each line after its time.
std::string timedConsole(const sim::BootRecord &record) {
  std::string out;
  for (const sim::ConsoleLineRecord &line : record.timing.consoleLines) {
    if (line.uart == 0) {
      out += lineStamp(line) + line.text + "\n";
    }
  }
  return out;
}

std::string mirrorDifferences(const std::string &first, const std::string &second, bool all,
                              const std::vector<std::string> &stamps = {}) {
  auto lines = [](const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end + 1;
      out.push_back(text.substr(start, end - start));
      start = end;
    }
    return out;
  };
  std::vector<std::string> a = lines(first), b = lines(second);
  std::string out;
  for (size_t i = 0; i < b.size(); i++) {
    if (all || i >= a.size() || a[i] != b[i]) {
      out +=
          (all ? "2F8| " : fmt::format("2F8|{:>5}| ", i + 1)) + (i < stamps.size() ? stamps[i] : "") + b[i];
      if (b[i].empty() || b[i].back() != '\n') {
        out += '\n';
      }
    }
  }
  for (size_t i = b.size(); !all && i < a.size(); i++) {
    out += fmt::format("2F8|{:>5}| (missing)\n", i + 1);
  }
  return out;
}

// A device the machine does not have would filter the trace down to
// nothing, silently: refused before the boot, with the names it has.
void refuseUnknownDevices(const std::vector<std::string> &wanted, const std::vector<std::string> &known) {
  for (const std::string &device : wanted) {
    if (std::none_of(known.begin(), known.end(),
                     [&device](const std::string &name) { return sim::traceDeviceMatches(name, device); })) {
      throw UsageError(fmt::format("--trace-device: \"{}\" is no device of this board's machine ({})",
                                   printable(device), fmt::join(known, ", ")));
    }
  }
}

void checkBootOptions(const BootOptions &options) {
  refuseSharedOutputs({{"--json", options.json},
                       {"--trace", options.trace},
                       {"--save-s3", options.saveS3},
                       {"--junit", options.junit},
                       {"--markdown", options.markdown},
                       {"--timeline", options.timeline},
                       {"--html", options.html}});
  if (options.traceFormat != "text" && options.traceFormat != "jsonl") {
    throw UsageError(
        fmt::format("--trace-format: \"{}\" is neither text nor jsonl", printable(options.traceFormat)));
  }
  (void)traceFilter(options);
  // A filter or format of a trace nobody asked for would do nothing, silently.
  bool shaping = !options.traceKinds.empty() || !options.traceAddresses.empty() ||
                 !options.traceDevices.empty() || !options.traceTime.empty() || options.traceFormat != "text";
  if (shaping && options.trace.empty()) {
    throw UsageError(
        "--trace-format, --trace-kind, --trace-address, --trace-device and --trace-time shape the "
        "trace: give --trace FILE (or -) too");
  }
}

// A slip in a command or option name is answered with what it most likely
// meant, before the command line is read for anything else.
void refuseMistypedNames(CLI::App &app, int argc, const char *const *argv) {
  CLI::App *command = &app;
  int at = 1;
  auto subcommands = [](CLI::App *parent) {
    std::vector<std::string> names;
    for (CLI::App *sub : parent->get_subcommands([](CLI::App *) { return true; })) {
      names.push_back(sub->get_name());
    }
    return names;
  };
  // The command path: "boot", "s3 decode".
  while (at < argc && argv[at][0] != '-') {
    std::vector<std::string> names = subcommands(command);
    if (names.empty()) {
      break;
    }
    auto found = std::find(names.begin(), names.end(), argv[at]);
    if (found == names.end()) {
      std::vector<std::string_view> views(names.begin(), names.end());
      std::string near = sim::didYouMean(argv[at], views);
      throw UsageError(fmt::format("\"{}\" is no command{} (commands: {})", printable(argv[at]), near,
                                   fmt::join(names, ", ")));
    }
    command = command->get_subcommand(*found);
    at++;
  }
  std::vector<std::string> options;
  for (const CLI::Option *option : command->get_options()) {
    for (const std::string &name : option->get_lnames()) {
      options.push_back("--" + name);
    }
  }
  for (; at < argc; at++) {
    std::string_view word = argv[at];
    if (word == "--") {
      break;
    }
    if (word.rfind("--", 0) != 0 || word.size() < 3) {
      continue; // a value, a positional, or a short option CLI11 reads
    }
    std::string name(word.substr(0, word.find('=')));
    if (std::find(options.begin(), options.end(), name) == options.end() && name != "--version") {
      std::vector<std::string_view> views(options.begin(), options.end());
      std::string path = command == &app ? "dxesim" : command->get_name();
      throw UsageError(
          fmt::format("{}: {} is no option{}", path, printable(name), sim::didYouMean(name, views)));
    }
  }
}

int boot(const BootOptions &options) {
  sim::TraceFilter filter = traceFilter(options);
  sim::Board board = options.board.empty() ? sim::referenceBoard() : sim::loadBoardFile(options.board);
  if (!options.board.empty()) {
    board.source = options.board; // as given, not as resolved
  }
  if (options.strict) {
    sim::refuseUnexplainedExpectations(board);
  }
  sim::Simulation simulation(board, options.image.empty() ? sim::defaultDriverImage() : options.image);
  refuseUnknownDevices(options.traceDevices, simulation.machine().deviceNames());

  // Standard output belongs to a report written there; the rest goes to
  // standard error then.
  bool reportOnStdout = options.json == "-" || options.trace == "-" || options.junit == "-" ||
                        options.markdown == "-" || options.timeline == "-" || options.html == "-";
  FILE *text = reportOnStdout ? stderr : stdout;
  bool showConsole = !options.quiet && !reportOnStdout;
  if (showConsole) {
    std::fputs("== Console (UART 0x3F8)\n", text);
    // A line's time is known once its line feed has gone out: timed lines
    // come from the record, after the boot, with the times the page shows.
    if (!options.timestamps) {
      simulation.onConsoleByte = [text](char byte) { std::fputc(byte, text); };
    }
  }
  simulation.run();
  const sim::BootRecord &record = simulation.record();
  if (showConsole) {
    if (options.timestamps) {
      std::fputs(timedConsole(record).c_str(), text);
    }
    const std::string &first = record.console.uarts[0].bytes;
    const std::string &second = record.console.uarts[1].bytes;
    std::vector<std::string> stamps = options.timestamps ? lineStamps(record, 1) : std::vector<std::string>{};
    if (options.bothConsoles) {
      std::fputs("\n== Console (UART 0x2F8)\n", text);
      std::fputs(mirrorDifferences(first, second, true, stamps).c_str(), text);
    } else if (first == second) {
      std::fputs("\n== Console (UART 0x2F8): the same bytes as UART 0x3F8\n", text);
    } else {
      std::fputs("\n== Console (UART 0x2F8): lines that differ from UART 0x3F8\n", text);
      std::fputs(mirrorDifferences(first, second, false, stamps).c_str(), text);
    }
  }
  std::string summary = options.quiet || reportOnStdout
                            ? sim::textChecks(record) + sim::outcomeLine(record) + "\n"
                            : "\n" + sim::textSummary(record);
  std::fputs(summary.c_str(), text);
  std::fflush(text);

  if (!options.trace.empty()) {
    auto entries = sim::namedTrace(simulation.machine(), record, filter);
    writeOut(options.trace,
             options.traceFormat == "jsonl" ? sim::traceJsonLines(entries) : sim::traceText(entries),
             "trace");
  }
  if (!options.json.empty()) {
    writeOut(options.json, sim::jsonReport(record).dump(2) + "\n", "report");
  }
  writeTestReports(options.junit, options.markdown,
                   [&] { return sim::report::bootRun(record, options.strict); });
  if (!options.timeline.empty()) {
    writeOut(options.timeline, sim::timelineJson(record).dump(1) + "\n", "timeline");
  }
  if (!options.html.empty()) {
    writeOut(options.html, sim::htmlReport(record), "page");
  }
  if (!options.saveS3.empty()) {
    const sim::SmmCallRecord *handOff = nullptr;
    for (const sim::SmmCallRecord &call : record.s3.smmCalls) {
      handOff = call.accepted ? &call : handOff;
    }
    if (handOff == nullptr) {
      throw std::runtime_error(
          fmt::format("{}: not written, no S3 save table was handed off to SMM", options.saveS3));
    }
    writeOut(options.saveS3, std::string(handOff->tableBytes.begin(), handOff->tableBytes.end()), "S3 table");
  }
  // A halted machine is a result, but not a good one: scripts can tell.
  if (simulation.outcome().halt) {
    return kExitHalted;
  }
  if (record.unexpectedFailures() != 0 || (options.strict && record.unexpectedWarnings() != 0)) {
    return kExitViolation;
  }
  return kExitOk;
}

// A table saved with --save-s3: the handler's reading of it.
// A table saved with --save-s3: the handler's reading of it. Read twice,
// keeping no entry: once for the header and the problems, which come first
// in the text, then to write each entry as it is read. The memory used is
// the file and a few entries, whatever the table holds (a 64 MiB table has
// 2.8 million entries).
int decodeS3(const std::string &path, const std::string &json, const std::string &window) {
  refuseSharedOutputs({{"--json", json}});
  // Standard output carries one line per entry: in blocks, not a write each.
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  std::vector<uint8_t> bytes = sim::readBoundedFile(path, sim::kMaxS3TableFileBytes);
  std::optional<std::pair<uint64_t, unsigned>> names;
  if (!window.empty()) {
    names = parseWindow(window);
  }
  sim::S3TableDecode table = sim::decodeS3Table(bytes, true, [](sim::S3TableEntry &) {});

  std::unique_ptr<FILE, int (*)(FILE *)> file(nullptr, std::fclose);
  FILE *jsonOut = nullptr;
  std::string afterEntries;
  if (!json.empty()) {
    if (json == "-") {
      jsonOut = stdout;
    } else {
      file.reset(std::fopen(json.c_str(), "wb"));
      if (!file) {
        throw std::runtime_error(fmt::format("{}: cannot be written (decoded table)", json));
      }
      jsonOut = file.get();
    }
    nlohmann::json report = sim::s3TableJson(table);
    report["file"] = path;
    report["bytes"] = bytes.size();
    auto [before, after] = sim::s3TableJsonAround(std::move(report));
    std::fputs(before.c_str(), jsonOut);
    afterEntries = std::move(after);
  }
  bool text = json != "-";
  if (text) {
    std::fputs(fmt::format("== S3 save table {} ({} bytes): {}\n", path, bytes.size(),
                           table.valid ? "valid" : "malformed")
                   .c_str(),
               stdout);
    std::fputs(sim::s3TableHeaderText(table, "  ").c_str(), stdout);
  }
  uint64_t written = 0;
  sim::decodeS3Table(bytes, true, [&](sim::S3TableEntry &entry) {
    if (names) {
      sim::locateConfigRegister(entry, names->first, names->second);
    }
    if (jsonOut != nullptr) {
      std::fputs(written == 0 ? "[\n" : ",\n", jsonOut);
      std::fputs(sim::s3EntryJsonText(entry, "    ").c_str(), jsonOut);
    }
    if (text) {
      std::fputs(("    " + sim::describeS3Entry(entry) + "\n").c_str(), stdout);
    }
    written++;
  });
  if (jsonOut != nullptr) {
    std::fputs(written == 0 ? "[]" : "\n  ]", jsonOut);
    std::fputs((afterEntries + "\n").c_str(), jsonOut);
    std::fflush(jsonOut);
  }
  if (file && (std::ferror(file.get()) != 0 || std::fclose(file.release()) != 0)) {
    throw std::runtime_error(fmt::format("{}: cannot be written (decoded table)", json));
  }
  if (text) {
    std::fputs(sim::s3TableProblemsText(table, "  ").c_str(), stdout);
  }
  return table.valid ? kExitOk : kExitError;
}

} // namespace

uint64_t parseNumber(const std::string &text, std::string_view what, NumberUnit unit) {
  std::string_view digits = text;
  uint64_t scale = 1;
  if (unit == NumberUnit::Time) {
    for (const auto &[suffix, factor] :
         {std::pair<std::string_view, uint64_t>{"ms", 1000000}, {"us", 1000}, {"ns", 1}}) {
      if (digits.size() > suffix.size() && digits.substr(digits.size() - suffix.size()) == suffix) {
        digits.remove_suffix(suffix.size());
        scale = factor;
        break;
      }
    }
  }
  unsigned base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  } else if (digits.size() > 1 && digits[0] == '0') {
    throw UsageError(fmt::format("{}: \"{}\" starts with 0: write decimal without it, or 0x hexadecimal",
                                 what, printable(text)));
  }
  if (digits.empty()) {
    throw UsageError(fmt::format("{}: \"{}\" is not a number", what, printable(text)));
  }
  uint64_t value = 0;
  bool overflow = false;
  for (char c : digits) {
    unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                     : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                            : 99;
    if (digit >= base) {
      throw UsageError(fmt::format("{}: \"{}\" is not a number", what, printable(text)));
    }
    overflow = overflow || __builtin_mul_overflow(value, base, &value) ||
               __builtin_add_overflow(value, digit, &value);
  }
  if (overflow || __builtin_mul_overflow(value, scale, &value)) {
    throw UsageError(fmt::format("{}: \"{}\" does not fit 64 bits", what, printable(text)));
  }
  return value;
}

uint64_t parseCount(const std::string &text, std::string_view what, uint64_t max) {
  uint64_t value = parseNumber(text, what, NumberUnit::None);
  if (value == 0 || value > max) {
    throw UsageError(fmt::format("{}: {} is not 1 to {}", what, value, max));
  }
  return value;
}

CLI::Option *addCount(CLI::App *command, const std::string &name, size_t &to, uint64_t max,
                      const std::string &help) {
  return command->add_option_function<std::string>(
      name,
      [&to, name, max](const std::string &text) { to = static_cast<size_t>(parseCount(text, name, max)); },
      help);
}

CLI::Option *addCount(CLI::App *command, const std::string &name, std::optional<size_t> &to, uint64_t max,
                      const std::string &help) {
  return command->add_option_function<std::string>(
      name,
      [&to, name, max](const std::string &text) { to = static_cast<size_t>(parseCount(text, name, max)); },
      help);
}

unsigned cores(size_t asked) {
  return asked != 0 ? static_cast<unsigned>(asked) : std::max(1u, std::thread::hardware_concurrency());
}

std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    out += c < 0x20 || c == 0x7F ? fmt::format("\\x{:02X}", c) : std::string(1, static_cast<char>(c));
  }
  return out;
}

int run(int argc, const char *const *argv, bool parseOnly) {
  if (!parseOnly) {
    // Console lines reach the terminal or pipe as they are made, so nothing a
    // crash could lose sits in a buffer for long.
    std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
  }
  CLI::App app{"Boots the Kesh hub driver on a simulated DXE platform and judges the boot.\n" +
               std::string(kExitStatuses)};
  app.set_version_flag("--version", kVersion);
  app.require_subcommand(1);

  BootOptions options;
  CLI::App *bootCommand = app.add_subcommand("boot", "Boot a board file (default: the reference board)");
  bootCommand->add_option("BOARD", options.board, "Board file (TOML)");
  bootCommand->add_option("--json", options.json,
                          "Write the report as JSON to this file (- for standard output)");
  bootCommand->add_option("--trace", options.trace,
                          "Write the hardware access trace to this file (- for standard output)");
  bootCommand->add_option("--trace-format", options.traceFormat, "text (default) or jsonl");
  bootCommand
      ->add_option("--trace-kind", options.traceKinds, "Only these access kinds (io-read, mmio-write, ...)")
      ->delimiter(',');
  bootCommand->add_option("--trace-address", options.traceAddresses, "Only addresses or ports in LO[-HI]")
      ->delimiter(',');
  bootCommand
      ->add_option("--trace-device", options.traceDevices,
                   "Only accesses owned by these devices (SPI, UART, \"UART 0x3F8\", PCI, CMOS, ...)")
      ->delimiter(',');
  bootCommand->add_option("--trace-time", options.traceTime,
                          "Only accesses in the virtual-time window FROM-TO (ns, or with us/ms)");
  bootCommand->add_option(
      "--timeline", options.timeline,
      "Write the boot's timeline as trace-event JSON (Perfetto, chrome://tracing) to this file "
      "(- for standard output)");
  bootCommand->add_option(
      "--html", options.html,
      "Write the boot as one self-contained HTML page (timeline, checks, console, S3 table) to "
      "this file (- for standard output)");
  bootCommand->add_option("--save-s3", options.saveS3,
                          "Write the S3 save table as handed off to SMM to this file");
  bootCommand->add_option("--image", options.image,
                          "Host image of the driver (default: KeshInitDxe.so beside dxesim)");
  bootCommand->add_flag("--quiet", options.quiet, "Print only the checks and the outcome line");
  bootCommand->add_flag("--both-consoles", options.bothConsoles, "Print the second UART's copy in full");
  bootCommand->add_flag("--timestamps", options.timestamps,
                        "Print each console line after its virtual time (ms), once the boot is over");
  bootCommand->add_option("--junit", options.junit,
                          "Write the checks as JUnit XML to this file (- for standard output)");
  bootCommand->add_option("--markdown", options.markdown,
                          "Write a Markdown summary of the checks to this file (- for standard output)");
  bootCommand->add_flag("--strict", options.strict,
                        "Exit 4 on unexpected warnings too; refuse (2) an [expect] entry without a reason");

  std::string s3File, s3Json, s3Window;
  CLI::App *s3Command = app.add_subcommand("s3", "S3 save tables");
  s3Command->require_subcommand(1);
  CLI::App *decodeCommand = s3Command->add_subcommand("decode", "Decode a table saved with boot --save-s3");
  decodeCommand->add_option("FILE", s3File, "Saved table")->required();
  decodeCommand->add_option("--json", s3Json, "Also write the decoded table as JSON (- for standard output)");
  decodeCommand->add_option("--window", s3Window,
                            "The PCI configuration window BASE[,BUSES] that names configuration registers");

  SweepCommandOptions sweepOptions;
  CLI::App *sweepCommand = addSweepSubcommand(app, sweepOptions);
  MatrixCommandOptions matrixOptions;
  CLI::App *matrixCommand = addMatrixSubcommand(app, matrixOptions);
  MergeCommandOptions mergeOptions;
  CLI::App *mergeCommand = addMergeSubcommand(app, mergeOptions);
  OvmfCommandOptions ovmfOptions;
  CLI::App *ovmfCommand = addOvmfSubcommand(app, ovmfOptions);
  RecordCommandOptions recordOptions;
  CLI::App *recordCommand = addRecordSubcommand(app, recordOptions);
  DiffCommandOptions diffOptions;
  CLI::App *diffCommand = addDiffSubcommand(app, diffOptions);
  BoardCommandOptions boardOptions;
  CLI::App *boardCommand = addBoardSubcommand(app, boardOptions);
  try {
    refuseMistypedNames(app, argc, argv);
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return parseOnly ? kExitOk : app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return parseOnly ? kExitOk : app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return parseOnly ? kExitOk : app.exit(e);
  } catch (const CLI::ParseError &e) {
    if (!parseOnly) {
      app.exit(e);
    }
    return kExitUsage;
  } catch (const std::bad_alloc &) {
    // Said plainly, and never from a destructor: what the tool holds is bounded.
    std::cerr << "dxesim: out of memory\n";
    return kExitError;
  } catch (const UsageError &error) {
    if (!parseOnly) {
      std::cerr << "dxesim: " << error.what() << '\n';
    }
    return kExitUsage;
  }
  try {
    // What the options say is checked before any file is read.
    if (*sweepCommand) {
      checkSweepOptions(sweepOptions);
    } else if (*matrixCommand) {
      checkMatrixOptions(matrixOptions);
    } else if (*mergeCommand || *recordCommand || *boardCommand) {
      // Nothing to check before the files are read.
    } else if (*diffCommand) {
      checkDiffOptions(diffOptions);
    } else if (*ovmfCommand) {
      refuseSharedOutputs({{"--config", ovmfOptions.config}, {"--json", ovmfOptions.json}});
    } else if (*decodeCommand) {
      if (!s3Window.empty()) {
        (void)parseWindow(s3Window);
      }
    } else {
      checkBootOptions(options);
    }
    if (parseOnly) {
      return kExitOk;
    }
    if (*sweepCommand) {
      return withFlushedOutput(dxesim::sweepCommand(sweepOptions));
    }
    if (*matrixCommand) {
      return withFlushedOutput(dxesim::matrixCommand(matrixOptions));
    }
    if (*mergeCommand) {
      return withFlushedOutput(dxesim::mergeCommand(mergeOptions));
    }
    if (*ovmfCommand) {
      return withFlushedOutput(dxesim::ovmfCommand(ovmfOptions));
    }
    if (*recordCommand) {
      return withFlushedOutput(dxesim::recordCommand(recordOptions));
    }
    if (*diffCommand) {
      return withFlushedOutput(dxesim::diffCommand(diffOptions));
    }
    if (*boardCommand) {
      return withFlushedOutput(dxesim::boardCommand(boardOptions));
    }
    if (*decodeCommand) {
      return withFlushedOutput(decodeS3(s3File, s3Json, s3Window));
    }
    return withFlushedOutput(boot(options));
  } catch (const UsageError &error) {
    if (!parseOnly) {
      std::cerr << "dxesim: " << error.what() << '\n';
    }
    return kExitUsage;
  } catch (const sim::BoardError &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return withFlushedOutput(kExitBadBoard);
  } catch (const std::exception &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return kExitError; // already a failure: a lost write adds nothing
  }
}

} // namespace dxesim
