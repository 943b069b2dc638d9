// SPDX-License-Identifier: BSD-2-Clause-Patent
// The one input path of board and matrix files: hostile text refused with
// the same line by both readers before the TOML library sees it, the
// matrix's counts in checked arithmetic, and generated boards that carry a
// hostile name or label as text, never as TOML.
#include "Board/Board.h"
#include "Board/TomlText.h"
#include "Explore/Matrix.h"
#include "Explore/MatrixPlan.h"
#include "ScratchDir.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

namespace {

namespace ex = sim::explore;

const std::string kReference = std::string(KESH_SOURCE_DIR) + "/boards/reference.toml";

std::string repeat(const std::string &part, size_t times, const std::string &separator = "") {
  std::string out;
  for (size_t i = 0; i < times; i++) {
    out += (i == 0 ? "" : separator) + part;
  }
  return out;
}

std::string matrixHead() {
  return "[matrix]\nname = \"m\"\nbase = \"" + kReference + "\"\n";
}

template <typename Error> std::string errorOf(const std::function<void()> &read) {
  try {
    read();
  } catch (const Error &error) {
    return error.what();
  }
  return "no error";
}

struct HostileText {
  const char *what;
  std::string text;     // after the first line of either file
  std::string expected; // the message after "FILE:LINE: "; LINE is 2
};

const std::string kNotAscii = "a character that is not ASCII";
const std::string kTooDeep = "nested deeper than 64 levels";

const HostileText kHostile[] = {
    {"a key that is not ASCII", "\xC3\xA9 = 1\n", kNotAscii + " (byte 0xC3)"},
    {"a table name that is not ASCII", "[\xE4\xB8\xAD]\n", kNotAscii + " (byte 0xE4)"},
    {"a line separator outside a string", "a = 1\xE2\x80\xA8\n", kNotAscii + " (byte 0xE2)"},
    // The library reads no string from a quote after a number: what follows is code to it.
    {"a quote after a number, then a letter that is not ASCII", "a = 74=0737\"59D\xC9\xBC\"\n",
     kNotAscii + " (byte 0xC9)"},
    {"a multi-line literal quote after a number, then a letter that is not ASCII",
     "a = 0'''\xEF\xB3\xBFT'''\n", kNotAscii + " (byte 0xEF)"},
    {"a quote after a second '=', then a letter that is not ASCII", "s=+=\"+\xEF\xBA\xBF\"\n",
     kNotAscii + " (byte 0xEF)"},
    {"a letter that is not ASCII escaped", "a = \"\"\"'\\\xEF\xBB\xBCm]\n",
     "a character that is not ASCII (byte 0xEF) escaped in a string"},
    {"a letter that is not ASCII after a line-ending backslash", "a = \"\"\"f\\\n\xEF\xB3\xBF\"\"\"\n",
     "a character that is not ASCII (byte 0xEF) escaped in a string"},
    {"a byte-order mark not at the start",
     "\xEF\xBB\xBF"
     "a = 1\n",
     kNotAscii + " (byte 0xEF)"},
    {"30,000 dotted key parts", repeat("k", 30000, ".") + " = 1\n", kTooDeep},
    {"a table header of 65 parts", "[" + repeat("t", 65, ".") + "]\n", kTooDeep},
    {"an array of tables of 65 parts", "[[" + repeat("t", 65, ".") + "]]\n", kTooDeep},
    {"inline tables in one another", "a = " + repeat("{ b = ", 70) + "1" + repeat(" }", 70) + "\n", kTooDeep},
    {"arrays in one another", "a = " + repeat("[", 100000) + repeat("]", 100000) + "\n", kTooDeep},
    {"a header's depth adds to its keys'",
     "[" + repeat("t", 40, ".") + "]\n" + repeat("k", 30, ".") + " = 1\n", kTooDeep},
};

class HostileInput : public ::testing::TestWithParam<HostileText> {};

TEST_P(HostileInput, BothReadersRefuseItWithTheLine) {
  const HostileText &c = GetParam();
  size_t line = c.what == std::string("a header's depth adds to its keys'") ? 3 : 2;
  std::string board = "# board\n" + c.text;
  EXPECT_EQ(errorOf<sim::BoardError>([&] {
              sim::parseBoardToml(board, "b.toml");
            }).rfind(fmt::format("b.toml:{}: {}", line, c.expected), 0),
            0u)
      << errorOf<sim::BoardError>([&] { sim::parseBoardToml(board, "b.toml"); });
  std::string matrix = "# matrix\n" + c.text + matrixHead();
  EXPECT_EQ(errorOf<ex::MatrixError>([&] {
              ex::parseMatrixToml(matrix, "m.toml");
            }).rfind(fmt::format("m.toml:{}: {}", line, c.expected), 0),
            0u)
      << errorOf<ex::MatrixError>([&] { ex::parseMatrixToml(matrix, "m.toml"); });
}

INSTANTIATE_TEST_SUITE_P(Readers, HostileInput, ::testing::ValuesIn(kHostile),
                         [](const auto &info) { return "Case" + std::to_string(info.index); });

// Within the limit, and in strings and comments, all is TOML as before;
// a leading byte-order mark is skipped by both readers alike.
TEST(InputGuard, WhatIsNotHostileReadsAsBefore) {
  std::string deep = "[" + repeat("t", 30, ".") + "]\n" + repeat("k", 30, ".") + " = [" + repeat("[", 3) +
                     "1" + repeat("]", 3) + "]\n" + "s = \"\xC3\xA9 . [[ { \" # \xE4\xB8\xAD {{{\n";
  EXPECT_NO_THROW(sim::parseTomlText(deep, "deep.toml"));
  EXPECT_NO_THROW(sim::parseBoardToml("\xEF\xBB\xBF[board]\nname = \"bom\"\n", "bom.toml"));
  ex::Matrix matrix = ex::parseMatrixToml(
      "\xEF\xBB\xBF" + matrixHead() + "[[axis]]\nkey = \"s3.resume\"\nvalues = [true]\n", "m");
  EXPECT_EQ(matrix.size(), 1u);
}

struct MatrixCase {
  const char *what;
  std::string axes;
  std::string expected;
};

std::string axes(size_t count, size_t values, const std::string &prefix = "a") {
  std::string out;
  for (size_t i = 0; i < count; i++) {
    out += fmt::format("[[axis]]\nkey = \"{}{}\"\nvalues = [{}]\n", prefix, i, repeat("1", values, ", "));
  }
  return out;
}

TEST(InputGuard, MatrixFilesThatCannotBeUsed) {
  ScratchDir dir;
  const MatrixCase cases[] = {
      {"64 axes of 2", axes(64, 2), "m.toml: the axes make more than 18446744073709551615 combinations"},
      {"63 axes of 2 and one of 3", axes(63, 2) + axes(1, 3, "z"),
       "m.toml: the axes make more than 18446744073709551615 combinations"},
      {"an axis key of 65 parts", "[[axis]]\nkey = \"" + repeat("k", 65, ".") + "\"\nvalues = [1]\n",
       "m.toml:5: key 'axis.key': more than 64 parts (tables nested in one another)"},
  };
  for (const MatrixCase &c : cases) {
    // A product beyond 64 bits is refused by the plan that would boot it all.
    EXPECT_EQ(errorOf<ex::MatrixError>(
                  [&] { ex::planMatrix(ex::parseMatrixToml(matrixHead() + c.axes, "m.toml"), {}); }),
              c.expected)
        << c.what;
  }
  // The base: the board reader's path, bounded, no directory, no empty name.
  const std::string source = dir.path("m.toml");
  const std::string line = source + ":3: key 'matrix.base': ";
  const std::pair<std::string, std::string> bases[] = {
      {"", line + "a board file (relative to this file) is required"},
      {".", line + dir.root().string() + "/: is a directory, not a file"},
      {"/dev/zero", line + "/dev/zero: is not a regular file and did not end within 4194304 bytes"},
  };
  for (const auto &[base, expected] : bases) {
    std::string text = "[matrix]\nname = \"m\"\nbase = \"" + base + "\"\n" + axes(1, 1);
    EXPECT_EQ(errorOf<ex::MatrixError>([&] { ex::parseMatrixToml(text, source); }), expected) << base;
  }
}

// 10^12 combinations: refused with the size, unless sampled; a sample and
// a limit build no more indexes than they boot (no image: each boot is an
// error, quickly).
TEST(InputGuard, AMatrixTooLargeToBootIsRefusedUnlessSampled) {
  ex::Matrix matrix = ex::parseMatrixToml(matrixHead() + axes(12, 10), "m.toml");
  EXPECT_EQ(matrix.size(), 1000000000000u);
  ex::MatrixOptions options;
  options.driverImage = "/nonexistent/KeshInitDxe.so";
  options.limit = 5;
  EXPECT_EQ(
      errorOf<ex::MatrixError>([&] { ex::runMatrix(matrix, options); }),
      "m.toml: 1000000000000 combinations, more than the 1000000 one run boots: choose some with --sample N");
  options.sample = 100;
  ex::MatrixResult result = ex::runMatrix(matrix, options);
  EXPECT_EQ(result.combinations, 1000000000000u);
  EXPECT_EQ(result.booted, 5u);
  std::set<size_t> cases;
  for (const ex::MatrixOutcome &outcome : result.outcomes) {
    cases.insert(outcome.cases.begin(), outcome.cases.end());
  }
  EXPECT_EQ(cases.size(), 5u) << "five distinct combinations";
  options.sample = 2000000;
  options.limit.reset();
  EXPECT_THROW(ex::runMatrix(matrix, options), std::invalid_argument);
}

// A name and labels that try to write TOML of their own: the generated
// board holds them as text, and boots with no rule added.
TEST(InputGuard, HostileNamesAndLabelsStayText) {
  std::string text =
      "[matrix]\nname = \"x\\n[[fail]]\\nservice=\\\"FreePool\\\"\\n#\\u0000\\\" ]] \\\\\"\nbase = \"" +
      kReference +
      "\"\n[[axis]]\nkey = \"s3.resume\"\nvalues = [false, true]\n"
      "labels = [\"off\\n[board]\\nname = 'x'\", \"on \\\"'\\\\ \xC3\xA9\"]\n";
  ex::Matrix matrix = ex::parseMatrixToml(text, "hostile.toml");
  const char *expected[] = {
      "x\\x0A[[fail]]\\x0Aservice=\"FreePool\"\\x0A#\\x00\" ]] \\: resume=off\\x0A[board]\\x0Aname = 'x'",
      "x\\x0A[[fail]]\\x0Aservice=\"FreePool\"\\x0A#\\x00\" ]] \\: resume=on \"'\\ \xC3\xA9",
  };
  for (size_t i = 0; i < 2; i++) {
    sim::Board board = sim::parseBoardToml(matrix.boardToml(matrix.combination(i)), "case.toml");
    EXPECT_EQ(board.name, expected[i]);
    EXPECT_TRUE(board.failures.empty());
    EXPECT_EQ(board.s3.resume, i == 1);
  }
  ex::MatrixOptions options;
  options.driverImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";
  ex::MatrixResult result = ex::runMatrix(matrix, options);
  EXPECT_EQ(result.booted, 2u);
  for (const ex::MatrixOutcome &outcome : result.outcomes) {
    EXPECT_EQ(outcome.example.error, "") << outcome.example.label;
  }
}

} // namespace
