// SPDX-License-Identifier: BSD-2-Clause-Patent
// The value a SATA location was nearly meant to be: the shortest part of a
// port's name that differs from it only in case and spacing. A table of
// shapes, and every short name and value over a small alphabet against the
// search that tries each span in turn.
#include "Boot/PolicyModel.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

std::string narrow(const std::u16string &text) {
  return std::string(text.begin(), text.end());
}

sim::Board boardWithPorts(const std::vector<std::u16string> &names) {
  sim::Board board;
  board.sata = sim::SataConfig{};
  for (const std::u16string &name : names) {
    board.sata->ports.push_back(sim::SataPortConfig{name, 1, 0});
  }
  return board;
}

std::optional<std::string> meantLocation(const std::vector<std::u16string> &names,
                                         const std::u16string &value) {
  auto meant = sim::nearlyActedOnValue(boardWithPorts(names), u"RedundantOsLocation", value);
  return meant ? std::optional<std::string>(narrow(*meant)) : std::nullopt;
}

struct NearValueCase {
  const char *what;
  std::vector<std::u16string> names;
  std::u16string value;
  std::optional<std::string> meant;
};

void PrintTo(const NearValueCase &c, std::ostream *os) {
  *os << c.what;
}

const std::u16string kLongName = std::u16string(20000, u'x') + u" P o r t 5 " + std::u16string(20000, u'y');

const NearValueCase kCases[] = {
    {"spacing", {u"SATA Port5"}, u"Port 5", "Port5"},
    {"case", {u"SATA Port5"}, u"PORT5", "Port5"},
    {"found as it is: acted on", {u"SATA Port5"}, u"Port5", std::nullopt},
    {"spread out in the name", {u"Disk P o r t 5 x"}, u"port5", "P o r t 5"},
    {"a tab inside is kept", {u"Port\t5"}, u"port5", "Port\t5"},
    {"tabs and spaces at the ends are not", {u" \tPort5\t "}, u"port 5", "Port5"},
    {"the shortest of two places", {u"P o r t5 and Port5"}, u"PORT 5", "Port5"},
    {"the leftmost of two as short", {u"PorT5 PoRt5"}, u"port 5", "PorT5"},
    {"the first port that has it", {u"Disk0", u"Port 5", u"PORT5"}, u"port5", "Port 5"},
    {"nowhere", {u"Disk0", u"Port6"}, u"Port5", std::nullopt},
    {"found as it is in a later port", {u"P ort5", u"Port5"}, u"Port5", std::nullopt},
    {"a value of spaces only", {u"Port5"}, u"  ", std::nullopt},
    {"the fixed values still", {u"Port5"}, u"internal usb", "InternalUsb"},
    {"a long name", {kLongName}, u"PORT5", "P o r t 5"},
};

class NearValue : public ::testing::TestWithParam<NearValueCase> {};

TEST_P(NearValue, IsTheShortestPartOfANameThatFoldsToTheValue) {
  const NearValueCase &c = GetParam();
  EXPECT_EQ(meantLocation(c.names, c.value), c.meant);
}

INSTANTIATE_TEST_SUITE_P(Shapes, NearValue, ::testing::ValuesIn(kCases));

std::u16string foldedByHand(std::u16string_view text) {
  std::u16string out;
  for (char16_t c : text) {
    if (c != u' ' && c != u'\t') {
      out += c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    }
  }
  return out;
}

// Every span, shortest first and leftmost first.
std::optional<std::string> everySpan(const std::u16string &name, const std::u16string &value) {
  std::u16string want = foldedByHand(value);
  if (want.empty() || name.find(value) != std::u16string::npos) {
    return std::nullopt;
  }
  for (size_t length = 1; length <= name.size(); length++) {
    for (size_t at = 0; at + length <= name.size(); at++) {
      std::u16string span = name.substr(at, length);
      if (span.front() != u' ' && span.back() != u' ' && foldedByHand(span) == want) {
        return narrow(span);
      }
    }
  }
  return std::nullopt;
}

// All strings of up to `length` characters over `alphabet`.
std::vector<std::u16string> allStrings(std::u16string_view alphabet, size_t length) {
  std::vector<std::u16string> out = {u""};
  for (size_t begin = 0, size = 1; size <= length; size++) {
    size_t end = out.size();
    for (size_t i = begin; i < end; i++) {
      for (char16_t c : alphabet) {
        out.push_back(out[i] + c);
      }
    }
    begin = end;
  }
  return out;
}

TEST(NearValue, AgreesWithTryingEverySpan) {
  std::vector<std::u16string> names = allStrings(u"aA \t", 6);
  std::vector<std::u16string> values = allStrings(u"aA ", 3);
  size_t found = 0;
  for (const std::u16string &name : names) {
    for (const std::u16string &value : values) {
      std::optional<std::string> expected = everySpan(name, value);
      found += expected.has_value() ? 1 : 0;
      ASSERT_EQ(meantLocation({name}, value), expected)
          << "name '" << narrow(name) << "', value '" << narrow(value) << "'";
    }
  }
  EXPECT_GT(found, 1000u); // the alphabet makes many values near a name
}

} // namespace
