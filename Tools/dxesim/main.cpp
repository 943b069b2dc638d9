// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim: boots a board with the driver on the simulated platform and shows
// what happened, with a verdict.
#include "Boot/Boot.h"
#include "Boot/Record.h"
#include "Boot/Report.h"
#include "Boot/S3Report.h"
#include "Boot/Trace.h"
#include "Ovmf.h"
#include "Explore.h"
#include "Host/BoundedFile.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <sstream>

namespace {

// Exit statuses, also listed in --help and the README.
constexpr int kExitOk = 0;
constexpr int kExitError = 1;
constexpr int kExitBadBoard = 2;
constexpr int kExitHalted = 3;
constexpr int kExitCheckFailed = 4;
constexpr int kExitUsage = 64;

constexpr const char *kExitStatuses =
    "Exit status: 0 boot completed and every check as expected (s3 decode: table valid);\n"
    "1 error (an unreadable file, a missing image; s3 decode: table malformed); 2 bad board file;\n"
    "3 machine halted; 4 a check failed that the board does not expect to fail (with --strict,\n"
    "also a warning); 64 usage error.";

constexpr const char *kVersion = "dxesim 1.1.0 (report format 1)";

struct BootOptions {
  std::string board, json, trace, traceFormat = "text", image, saveS3;
  std::vector<std::string> traceKinds, traceAddresses, traceDevices;
  std::string traceTime;
  bool quiet = false, bothConsoles = false, strict = false;
};

class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Writes to a file, or to standard output for "-".
void writeOut(const std::string &path, const std::string &text, const char *what) {
  if (path == "-") {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return;
  }
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) {
    throw std::runtime_error(fmt::format("{}: cannot be written ({})", path, what));
  }
}

uint64_t parseNumber(const std::string &text, const char *what) {
  std::string digits = text;
  uint64_t scale = 1;
  for (const auto &[suffix, factor] :
       {std::pair<const char *, uint64_t>{"ms", 1000000}, {"us", 1000}, {"ns", 1}}) {
    std::string_view s(suffix);
    if (digits.size() > s.size() && digits.compare(digits.size() - s.size(), s.size(), s) == 0) {
      digits.resize(digits.size() - s.size());
      scale = factor;
      break;
    }
  }
  if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0]))) {
    throw UsageError(fmt::format("{}: \"{}\" is not a number", what, text));
  }
  size_t used = 0;
  uint64_t value = 0;
  try {
    value = std::stoull(digits, &used, 0);
  } catch (const std::exception &) {
    throw UsageError(fmt::format("{}: \"{}\" is not a number", what, text));
  }
  if (used != digits.size() || (scale != 1 && value > UINT64_MAX / scale)) {
    throw UsageError(fmt::format("{}: \"{}\" is not a number", what, text));
  }
  return value * scale;
}

std::pair<uint64_t, uint64_t> parseRange(const std::string &text, const char *what) {
  size_t dash = text.find('-');
  if (dash == std::string::npos) {
    uint64_t value = parseNumber(text, what);
    return {value, value};
  }
  auto range =
      std::make_pair(parseNumber(text.substr(0, dash), what), parseNumber(text.substr(dash + 1), what));
  if (range.first > range.second) {
    throw UsageError(fmt::format("{}: \"{}\" ends before it starts", what, text));
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
                                   kind));
    }
    filter.kinds.push_back(*parsed);
  }
  for (const std::string &range : options.traceAddresses) {
    filter.addressRanges.push_back(parseRange(range, "--trace-address"));
  }
  filter.devices = options.traceDevices;
  if (!options.traceTime.empty()) {
    auto [from, to] = parseRange(options.traceTime, "--trace-time");
    filter.fromNs = from;
    filter.toNs = to;
  }
  return filter;
}

// The second UART's lines that differ from the first's, marked as its own.
std::string mirrorDifferences(const std::string &first, const std::string &second, bool all) {
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
      out += (all ? "2F8| " : fmt::format("2F8|{:>5}| ", i + 1)) + b[i];
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

int boot(const BootOptions &options) {
  if (options.json == "-" && options.trace == "-") {
    throw UsageError("--json - and --trace - cannot both write to standard output");
  }
  if (options.traceFormat != "text" && options.traceFormat != "jsonl") {
    throw UsageError(fmt::format("--trace-format: \"{}\" is neither text nor jsonl", options.traceFormat));
  }
  sim::TraceFilter filter = traceFilter(options);
  sim::Board board = options.board.empty() ? sim::referenceBoard() : sim::loadBoardFile(options.board);
  if (!options.board.empty()) {
    board.source = options.board; // as given, not as resolved
  }
  sim::Simulation simulation(board, options.image.empty() ? sim::defaultDriverImage() : options.image);

  // Standard output belongs to a report written there; the rest goes to
  // standard error then.
  bool reportOnStdout = options.json == "-" || options.trace == "-";
  FILE *text = reportOnStdout ? stderr : stdout;
  bool showConsole = !options.quiet && !reportOnStdout;
  if (showConsole) {
    std::fputs("== Console (UART 0x3F8)\n", text);
    simulation.onConsoleByte = [text](char byte) { std::fputc(byte, text); };
  }
  simulation.run();
  const sim::BootRecord &record = simulation.record();
  if (showConsole) {
    const std::string &first = record.console.uarts[0].bytes;
    const std::string &second = record.console.uarts[1].bytes;
    if (options.bothConsoles) {
      std::fputs("\n== Console (UART 0x2F8)\n", text);
      std::fputs(mirrorDifferences(first, second, true).c_str(), text);
    } else if (first == second) {
      std::fputs("\n== Console (UART 0x2F8): the same bytes as UART 0x3F8\n", text);
    } else {
      std::fputs("\n== Console (UART 0x2F8): lines that differ from UART 0x3F8\n", text);
      std::fputs(mirrorDifferences(first, second, false).c_str(), text);
    }
  }
  std::string summary = options.quiet || reportOnStdout
                            ? sim::textChecks(record) + sim::outcomeLine(record) + "\n"
                            : "\n" + sim::textSummary(record);
  std::fputs(summary.c_str(), text);
  std::fflush(text);

  if (!options.trace.empty()) {
    auto entries = sim::namedTrace(simulation.machine().trace(), record, filter);
    writeOut(options.trace,
             options.traceFormat == "jsonl" ? sim::traceJsonLines(entries) : sim::traceText(entries),
             "trace");
  }
  if (!options.json.empty()) {
    writeOut(options.json, sim::jsonReport(record).dump(2) + "\n", "report");
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
    return kExitCheckFailed;
  }
  return kExitOk;
}

// A table saved with --save-s3: the handler's reading of it. Read twice,
// keeping no entry: once for the header and the problems, which come first
// in the text, then to write each entry as it is read. The memory used is
// the file and a few entries, whatever the table holds (a 64 MiB table has
// 2.8 million entries).
int decodeS3(const std::string &path, const std::string &json, const std::string &window) {
  // Standard output carries one line per entry: in blocks, not a write each.
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  std::vector<uint8_t> bytes = sim::readBoundedFile(path, sim::kMaxS3TableFileBytes);
  std::optional<std::pair<uint64_t, unsigned>> names;
  if (!window.empty()) {
    size_t comma = window.find(',');
    uint64_t base = parseNumber(window.substr(0, comma), "--window");
    uint64_t buses = comma == std::string::npos ? 256 : parseNumber(window.substr(comma + 1), "--window");
    if (buses == 0 || buses > 256) {
      throw UsageError(fmt::format("--window: {} buses is not 1 to 256", buses));
    }
    names = std::make_pair(base, static_cast<unsigned>(buses));
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
  std::fflush(stdout);
  return table.valid ? kExitOk : kExitError;
}

// The named checks as a judge of explored boots. The invariants that every
// explored boot keeps already carry the names entry, events, pool and
// s3.handoff; the checks of those names are left to them. A check the board
// expects to come out as it did passes; with failures injected, a failing
// check is what the failure caused and is shown as a warning (the
// invariants and the failure-path rule judge those boots); a rule that
// never fired is a mistake of the board's either way.
sim::explore::Judge checksJudge() {
  return [](sim::Simulation &simulation) {
    std::vector<sim::explore::Verdict> out;
    bool injects = !simulation.board().failures.empty();
    for (const sim::CheckResult &check : simulation.record().checks) {
      if (check.name == "entry" || check.name == "events" || check.name == "pool" ||
          check.name == "s3.handoff") {
        continue;
      }
      std::string verdict =
          check.expected == std::optional<std::string>(check.verdict) ? "pass" : check.verdict;
      if (injects && verdict == "fail" && check.name != "board.fail-rules") {
        verdict = "warn";
      }
      out.push_back(sim::explore::Verdict{check.name, verdict, check.reason});
    }
    return out;
  };
}

} // namespace

int main(int argc, char **argv) {
  // Console lines reach the terminal or pipe as they are made, so nothing a
  // crash could lose sits in a buffer for long.
  std::setvbuf(stdout, nullptr, _IOLBF, 1 << 16);
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
  bootCommand->add_option("--save-s3", options.saveS3,
                          "Write the S3 save table as handed off to SMM to this file");
  bootCommand->add_option("--image", options.image,
                          "Host image of the driver (default: KeshInitDxe.so beside dxesim)");
  bootCommand->add_flag("--quiet", options.quiet, "Print only the checks and the outcome line");
  bootCommand->add_flag("--both-consoles", options.bothConsoles, "Print the second UART's copy in full");
  bootCommand->add_flag("--strict", options.strict, "Exit 4 on unexpected warnings too");

  std::string s3File, s3Json, s3Window;
  CLI::App *s3Command = app.add_subcommand("s3", "S3 save tables");
  s3Command->require_subcommand(1);
  CLI::App *decodeCommand = s3Command->add_subcommand("decode", "Decode a table saved with boot --save-s3");
  decodeCommand->add_option("FILE", s3File, "Saved table")->required();
  decodeCommand->add_option("--json", s3Json, "Also write the decoded table as JSON (- for standard output)");
  decodeCommand->add_option("--window", s3Window,
                            "The PCI configuration window BASE[,BUSES] that names configuration registers");

  dxesim::SweepCommandOptions sweepOptions;
  CLI::App *sweepCommand = dxesim::addSweepSubcommand(app, sweepOptions);
  dxesim::MatrixCommandOptions matrixOptions;
  CLI::App *matrixCommand = dxesim::addMatrixSubcommand(app, matrixOptions);
  registerOvmfCommand(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp &e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    app.exit(e);
    return kExitUsage;
  }
  try {
    if (*sweepCommand) {
      return dxesim::sweepCommand(sweepOptions, checksJudge());
    }
    if (*matrixCommand) {
      return dxesim::matrixCommand(matrixOptions, checksJudge());
    }
    if (*decodeCommand) {
      return decodeS3(s3File, s3Json, s3Window);
    }
    return boot(options);
  } catch (const std::bad_alloc &) {
    // Said plainly, and never from a destructor: what the tool holds is bounded.
    std::cerr << "dxesim: out of memory\n";
    return kExitError;
  } catch (const UsageError &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return kExitUsage;
  } catch (const sim::BoardError &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return kExitBadBoard;
  } catch (const std::exception &error) {
    std::cerr << "dxesim: " << error.what() << '\n';
    return kExitError;
  }
}
