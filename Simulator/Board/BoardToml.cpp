// SPDX-License-Identifier: BSD-2-Clause-Patent
// Board files: TOML, read strictly. A key the simulator does not know is an
// error, not a silent default, so a misspelt setting never boots a
// different machine than the one described.
//
// The reader is a list of sections, each with one small reader; the helpers
// of `Reader` do the checking (strict integers with their widths, ASCII
// text, pairs and triples, one-of names) so that every key is held to the
// same rules and every error has the form "FILE:LINE: key 'TABLE.KEY': ...".
#include "Board.h"
#include "Host/NearestName.h"
#include "Host/BoundedFile.h"
#include "Platform/ProtocolNames.h"
#include "TomlText.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <set>

namespace sim {

namespace {

// At most nine boards may extend each other; a longer chain is a loop.
constexpr int kMaxExtendsDepth = 8;

uint64_t memoryAttributeBit(std::string_view name) {
  for (const NamedValue &attribute : memoryAttributeNames()) {
    if (attribute.name == name) {
      return attribute.value;
    }
  }
  return 0;
}

// A number written as a string: C's base-0 forms (0x hexadecimal, a
// leading 0 octal, else decimal) and nothing else, no sign, no spaces.
enum class NumberText { Ok, NotANumber, Negative, TooLarge };

NumberText parseNumberText(std::string_view text, uint64_t &value) {
  if (!text.empty() && text[0] == '-' && text.size() > 1 &&
      std::isdigit(static_cast<unsigned char>(text[1]))) {
    return NumberText::Negative;
  }
  unsigned base = 10;
  size_t at = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    at = 2;
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    at = 1;
  }
  if (at >= text.size()) {
    return NumberText::NotANumber;
  }
  value = 0;
  bool tooLarge = false;
  for (; at < text.size(); at++) {
    char c = text[at];
    unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                     : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                     : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                            : 99;
    if (digit >= base) {
      return NumberText::NotANumber;
    }
    if (value > (~0ULL - digit) / base) {
      tooLarge = true;
    }
    value = value * base + digit;
  }
  return tooLarge ? NumberText::TooLarge : NumberText::Ok;
}

// Printable ASCII and nothing else: CHAR16 text is widened byte by byte,
// and names end up on the console and in reports.
std::optional<std::string> textProblem(std::string_view text, bool asciiOnly) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return fmt::format("holds the control character 0x{:02X}", c);
    }
    if (asciiOnly && c >= 0x80) {
      return std::string("holds a character that is not ASCII (it becomes CHAR16 text)");
    }
  }
  return std::nullopt;
}

std::u16string wide(const std::string &text) {
  return std::u16string(text.begin(), text.end());
}

// One integer of a pair or triple: its largest value and the multiple it must be.
struct Bound {
  uint64_t max;
  uint64_t multiple = 1;
};

// Hexadecimal digits with a letter among them are a number written
// without its 0x; 08 or 1e3 may mean something else.
std::string hexHint(std::string_view text) {
  auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  auto isLetter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
  auto letters = std::count_if(text.begin(), text.end(), isLetter);
  bool exponent = letters == 1 && text.find_first_of("eE") != std::string_view::npos;
  bool hex = text.size() <= 16 && letters != 0 && !exponent && std::all_of(text.begin(), text.end(), isHex);
  return hex ? fmt::format(" (hexadecimal is written 0x{})", text) : "";
}

// Reads one table, remembering which keys were used; finish() rejects the rest.
class Reader {
public:
  // `extending`: the board extends another, whose entries it may remove.
  Reader(const toml::table &table, std::string source, std::string path, bool extending)
      : table_(table), source_(std::move(source)), path_(std::move(path)), extending_(extending) {}

  [[noreturn]] void fail(const toml::node *node, std::string_view key, const std::string &message) const {
    unsigned line = node != nullptr ? static_cast<unsigned>(node->source().begin.line) : 0;
    if (line == 0) {
      line = static_cast<unsigned>(table_.source().begin.line);
    }
    // The key comes from the file too: a quoted key may hold control characters.
    throw BoardError(fmt::format("{}:{}: key '{}': {}", source_, line, printable(qualified(key)), message));
  }

  // "FILE:LINE" of a node, as fail() names it.
  std::string where(const toml::node *node) const {
    auto line = node != nullptr ? node->source().begin.line : table_.source().begin.line;
    return fmt::format("{}:{}", source_, line);
  }

  std::string qualified(std::string_view key) const {
    return path_.empty() ? std::string(key) : fmt::format("{}.{}", path_, key);
  }

  const toml::node *get(std::string_view key) {
    used_.insert(std::string(key));
    return table_.get(key);
  }

  std::optional<uint64_t> unsignedValue(std::string_view key, uint64_t max) {
    const toml::node *node = get(key);
    if (node == nullptr) {
      return std::nullopt;
    }
    uint64_t value = 0;
    if (node->is_integer()) {
      int64_t integer = *node->value<int64_t>();
      if (integer < 0) {
        fail(node, key, "must not be negative");
      }
      value = static_cast<uint64_t>(integer);
    } else if (auto text = node->value<std::string>()) {
      // Values above 2^63 do not fit a TOML integer; they are written as strings.
      switch (parseNumberText(*text, value)) {
      case NumberText::Ok:
        break;
      case NumberText::Negative:
        fail(node, key, fmt::format("'{}' must not be negative", printable(*text)));
      case NumberText::TooLarge:
        fail(node, key, fmt::format("'{}' does not fit 64 bits", printable(*text)));
      case NumberText::NotANumber:
        fail(node, key, fmt::format("'{}' is not a number{}", printable(*text), hexHint(*text)));
      }
    } else {
      fail(node, key, "must be an integer");
    }
    if (value > max) {
      fail(node, key, fmt::format("0x{:X} is larger than 0x{:X}", value, max));
    }
    return value;
  }

  template <typename T> void read(std::string_view key, T &out) {
    if (auto value = unsignedValue(key, static_cast<uint64_t>(std::numeric_limits<T>::max()))) {
      out = static_cast<T>(*value);
    }
  }

  template <typename T> void read(std::string_view key, std::optional<T> &out) {
    if (auto value = unsignedValue(key, static_cast<uint64_t>(std::numeric_limits<T>::max()))) {
      out = static_cast<T>(*value);
    }
  }

  uint64_t requiredUnsigned(std::string_view key, uint64_t max) {
    auto value = unsignedValue(key, max);
    if (!value) {
      fail(nullptr, key, "is required");
    }
    return *value;
  }

  void readBool(std::string_view key, bool &out) {
    const toml::node *node = get(key);
    if (node == nullptr) {
      return;
    }
    if (!node->is_boolean()) {
      fail(node, key, "must be true or false");
    }
    out = *node->value<bool>();
  }

  std::optional<std::string> string(std::string_view key) {
    const toml::node *node = get(key);
    if (node == nullptr) {
      return std::nullopt;
    }
    if (!node->is_string()) {
      fail(node, key, "must be a string");
    }
    return *node->value<std::string>();
  }

  std::string requiredString(std::string_view key) {
    auto value = string(key);
    if (!value) {
      fail(nullptr, key, "is required");
    }
    return *value;
  }

  // A name that is printed: no control characters. `asciiOnly` for text
  // that becomes CHAR16.
  std::optional<std::string> name(std::string_view key, bool asciiOnly) {
    auto value = string(key);
    if (value) {
      checkText(get(key), key, *value, asciiOnly);
    }
    return value;
  }

  void checkText(const toml::node *node, std::string_view key, std::string_view text, bool asciiOnly) const {
    if (auto problem = textProblem(text, asciiOnly)) {
      fail(node, key, fmt::format("'{}' {}", printable(text), *problem));
    }
  }

  // One of a few names: the index of the value in `choices`. `what` names
  // the kind of value in the error ("a GCD memory type").
  std::optional<size_t> oneOf(std::string_view key, std::initializer_list<std::string_view> choices,
                              const char *what = nullptr) {
    auto value = string(key);
    if (!value) {
      return std::nullopt;
    }
    size_t index = 0;
    std::string list;
    for (std::string_view choice : choices) {
      if (*value == choice) {
        return index;
      }
      list += index == 0 ? "" : what == nullptr && index + 1 == choices.size() ? " or " : ", ";
      list += choice;
      index++;
    }
    fail(get(key), key,
         what == nullptr ? fmt::format("'{}' is not {}", printable(*value), list)
                         : fmt::format("'{}' is not {} ({})", printable(*value), what, list));
  }

  EFI_GUID guid(std::string_view key) {
    std::string text = requiredString(key);
    auto guid = guidFromString(text);
    if (!guid) {
      fail(get(key), key, fmt::format("'{}' is not a GUID (8-4-4-4-12 hexadecimal digits)", printable(text)));
    }
    return *guid;
  }

  // A memory attribute mask: an integer, a numeric string, or a list of names.
  std::optional<uint64_t> attributes(std::string_view key) {
    const toml::node *node = get(key);
    if (node == nullptr) {
      return std::nullopt;
    }
    if (const toml::array *names = node->as_array()) {
      uint64_t mask = 0;
      for (const toml::node &element : *names) {
        auto name = element.value<std::string>();
        uint64_t bit = name ? memoryAttributeBit(*name) : 0;
        if (bit == 0) {
          fail(&element, key,
               fmt::format("'{}' is not a memory attribute (UC, WC, WT, WB, UCE, WP, RP, XP, RUNTIME)",
                           printable(name.value_or("?"))));
        }
        mask |= bit;
      }
      return mask;
    }
    return unsignedValue(key, ~0ULL);
  }

  std::vector<uint8_t> bytes(std::string_view key) {
    std::vector<uint8_t> out;
    for (const auto &[element, values] : tuples(key, {Bound{0xFF}}, "must be an array of bytes", true)) {
      (void)element;
      out.push_back(static_cast<uint8_t>(values[0]));
    }
    return out;
  }

  // The array at key; null when the key is absent. Anything else fails.
  const toml::array *arrayAt(std::string_view key, const char *what) {
    const toml::node *node = get(key);
    if (node == nullptr) {
      return nullptr;
    }
    const toml::array *array = node->as_array();
    if (array == nullptr) {
      fail(node, key, what);
    }
    return array;
  }

  // A list of strings (step names, attribute names).
  std::vector<std::pair<const toml::node *, std::string>> strings(std::string_view key, const char *what) {
    std::vector<std::pair<const toml::node *, std::string>> out;
    const toml::array *array = arrayAt(key, what);
    if (array == nullptr) {
      return out;
    }
    for (const toml::node &element : *array) {
      auto text = element.value<std::string>();
      if (!text) {
        fail(&element, key, what);
      }
      out.emplace_back(&element, *text);
    }
    return out;
  }

  // Lists of [a, b] or [a, b, c] TOML integers, each within its bound
  // (`scalars`: plain integers instead of one-element lists).
  using Tuple = std::pair<const toml::node *, std::array<uint64_t, 3>>;
  std::vector<Tuple> tuples(std::string_view key, std::initializer_list<Bound> bounds, const char *what,
                            bool scalars = false) {
    std::vector<Tuple> out;
    const toml::array *array = arrayAt(key, what);
    if (array == nullptr) {
      return out;
    }
    for (const toml::node &element : *array) {
      std::array<uint64_t, 3> values{};
      const toml::array *tuple = element.as_array();
      bool fits = scalars || (tuple != nullptr && tuple->size() == bounds.size());
      size_t i = 0;
      for (const Bound &bound : bounds) {
        if (!fits) {
          break;
        }
        const toml::node *part = scalars ? &element : tuple->get(i);
        auto value = part->is_integer() ? part->value<int64_t>() : std::nullopt;
        fits = value && *value >= 0 && static_cast<uint64_t>(*value) <= bound.max &&
               static_cast<uint64_t>(*value) % bound.multiple == 0;
        values[i++] = fits ? static_cast<uint64_t>(*value) : 0;
      }
      if (!fits) {
        fail(&element, key, scalars ? "every element must be a byte (0 to 255)" : what);
      }
      out.emplace_back(&element, values);
    }
    return out;
  }

  const toml::table *subtable(std::string_view key) {
    const toml::node *node = get(key);
    if (node == nullptr) {
      return nullptr;
    }
    if (!node->is_table()) {
      fail(node, key, "must be a table");
    }
    return node->as_table();
  }

  // [key]: `read` with a reader of the table, which must then be used up.
  template <typename F> void section(std::string_view key, F &&read) {
    if (const toml::table *table = subtable(key)) {
      Reader inner(*table, source_, qualified(key), extending_);
      read(inner);
      inner.finish();
    }
  }

  // [[key]]: `read` for each table, in order.
  template <typename F> void entries(std::string_view key, F &&read) {
    const toml::node *node = get(key);
    if (node == nullptr) {
      return;
    }
    const toml::array *array = node->as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      fail(node, key, fmt::format("must be written as [[{}]] tables", qualified(key)));
    }
    for (const toml::node &element : *array) {
      Reader inner(*element.as_table(), source_, qualified(key), extending_);
      read(inner);
      inner.finish();
    }
  }

  // remove = true: this entry names something of the base board to take
  // away, by the keys in `identity` (none for a protocol), and says
  // nothing else: a setting beside it would be silently dropped.
  bool removal(std::initializer_list<std::string_view> identity) {
    const toml::node *node = get("remove");
    if (node == nullptr) {
      return false;
    }
    if (!node->is_boolean()) {
      fail(node, "remove", "must be true or false");
    }
    if (!*node->value<bool>()) {
      return false;
    }
    if (!extending_) {
      fail(node, "remove", "this board extends no other: there is nothing to remove");
    }
    for (const auto &[key, value] : table_) {
      std::string_view name = key.str();
      if (name != "remove" && std::find(identity.begin(), identity.end(), name) == identity.end()) {
        fail(&value, name,
             identity.size() == 0
                 ? std::string("is a setting: remove = true takes no other key")
                 : fmt::format("is a setting: remove = true takes only {} (what names the entry)",
                               fmt::join(identity, ", ")));
      }
    }
    return true;
  }

  // Drops every entry that `same` matches; none is an error of the remove key.
  template <typename T, typename Same>
  void removeEntries(std::vector<T> &entries, Same same, const std::string &missing) {
    if (std::erase_if(entries, same) == 0) {
      fail(get("remove"), "remove", "the board this extends has " + missing);
    }
  }

  void finish() const {
    for (const auto &[key, node] : table_) {
      if (used_.count(std::string(key.str())) == 0) {
        // The keys this table is read for are the ones a slip most likely meant.
        std::vector<std::string_view> known(used_.begin(), used_.end());
        fail(&node, key.str(), "is not a board setting" + didYouMean(key.str(), known));
      }
    }
  }

  const toml::table &table() const { return table_; }
  const std::string &source() const { return source_; }

  // Text as it may be printed in an error: control characters escaped.
  static std::string printable(std::string_view text) { return printableText(text); }

private:
  const toml::table &table_;
  std::string source_;
  std::string path_;
  std::set<std::string> used_;
  bool extending_;
};

// " (its WHAT: A, B)": what the base has, to show what could be meant.
std::string listed(std::string_view what, const std::vector<std::string> &items) {
  return items.empty() ? fmt::format(" (it has no {})", what)
                       : fmt::format(" (its {}: {})", what, fmt::join(items, ", "));
}

// ---- One reader per table ------------------------------------------------

void readBoardTable(Reader &e, Board &board) {
  e.get("extends"); // read before everything else, see parseBoard
  board.name = e.name("name", false).value_or(board.name);
  board.driverImage = e.string("driver_image").value_or("");
}

void readFirmware(Reader &e, Board &board) {
  e.read("system_table_revision", board.systemTableRevision);
  e.readBool("runtime_services", board.runtimeServices);
  e.readBool("dxe_services", board.dxeServices);
  if (auto halt = e.string("expected_halt")) {
    board.expectedHalt.reset();
    for (HaltReason reason :
         {HaltReason::FatalStop, HaltReason::DeadLoop, HaltReason::TimeBudget, HaltReason::DriverFault}) {
      board.expectedHalt = *halt == haltReasonName(reason) ? std::optional(reason) : board.expectedHalt;
    }
    if (!board.expectedHalt) {
      e.fail(
          e.get("expected_halt"), "expected_halt",
          fmt::format("'{}' is no halt (fatal stop, dead loop, virtual time budget exhausted, driver fault)",
                      Reader::printable(*halt)));
    }
  }
  if (e.get("timeline") == nullptr) {
    return;
  }
  board.timeline.clear();
  for (const auto &[element, name] : e.strings("timeline", "must be an array of step names")) {
    auto step = stepFromName(name);
    if (!step) {
      e.fail(element, "timeline",
             fmt::format("'{}' is not a step (load, pci-enumeration-complete, smm-ready-to-lock, end-of-dxe, "
                         "ready-to-boot, exit-boot-services, load-s3-client)",
                         Reader::printable(name)));
    }
    board.timeline.push_back(*step);
  }
  if (std::count(board.timeline.begin(), board.timeline.end(), Step::Load) != 1) {
    e.fail(e.get("timeline"), "timeline", "must hold \"load\" exactly once");
  }
}

void readDiagnostics(Reader &e, Board &board) {
  e.read("debug_environment_answer", board.debugEnvironmentAnswer);
}

void readMachine(Reader &e, Board &board) {
  e.read("access_cost_ns", board.accessCostNs);
  // The budget is counted in 64-bit nanoseconds.
  if (auto budget = e.unsignedValue("time_budget_ms", kMaxTimeBudgetMs)) {
    board.timeBudgetMs = *budget;
  }
  e.entries("cpuid", [&](Reader &c) {
    auto leaf = static_cast<uint32_t>(c.requiredUnsigned("leaf", 0xFFFFFFFF));
    CpuidRegs regs;
    c.read("eax", regs.eax);
    c.read("ebx", regs.ebx);
    c.read("ecx", regs.ecx);
    c.read("edx", regs.edx);
    board.cpuid[leaf] = regs;
  });
  e.entries("msr", [&](Reader &m) {
    auto index = static_cast<uint32_t>(m.requiredUnsigned("index", 0xFFFFFFFF));
    board.msr[index] = m.requiredUnsigned("value", ~0ULL);
  });
}

void readPcd(Reader &e, Board &board) {
  UINTN token = e.requiredUnsigned("token", 0xFFFFFFFF);
  auto size = static_cast<unsigned>(e.unsignedValue("size", 8).value_or(8));
  if (size != 1 && size != 2 && size != 4 && size != 8) {
    e.fail(e.get("size"), "size", "must be 1, 2, 4 or 8 bytes");
  }
  uint64_t max = size == 8 ? ~0ULL : (1ULL << (size * 8)) - 1;
  uint64_t value = e.unsignedValue("value", max).value_or(0);
  board.pcd[token] = PcdToken{size, value};
}

void readGcd(Reader &e, Board &board) {
  if (e.removal({"base"})) {
    uint64_t base = e.requiredUnsigned("base", ~0ULL);
    std::vector<std::string> bases;
    for (const GcdRange &range : board.gcd) {
      bases.push_back(fmt::format("0x{:X}", range.base));
    }
    e.removeEntries(
        board.gcd, [&](const GcdRange &range) { return range.base == base; },
        fmt::format("no [[gcd]] range at base 0x{:X}", base) + listed("ranges' bases", bases));
    return;
  }
  GcdRange range{};
  range.base = e.requiredUnsigned("base", ~0ULL);
  range.length = e.requiredUnsigned("length", ~0ULL);
  e.requiredString("type");
  constexpr EFI_GCD_MEMORY_TYPE kTypes[] = {EfiGcdMemoryTypeNonExistent,  EfiGcdMemoryTypeReserved,
                                            EfiGcdMemoryTypeSystemMemory, EfiGcdMemoryTypeMemoryMappedIo,
                                            EfiGcdMemoryTypePersistent,   EfiGcdMemoryTypeMoreReliable,
                                            EfiGcdMemoryTypeUnaccepted};
  range.type = kTypes[*e.oneOf(
      "type",
      {"non-existent", "reserved", "system-memory", "mmio", "persistent", "more-reliable", "unaccepted"},
      "a GCD memory type")];
  range.capabilities = e.attributes("capabilities").value_or(0);
  range.attributes = e.attributes("attributes").value_or(0);
  bool allocated = false;
  e.readBool("allocated", allocated);
  range.image = allocated ? platformGcdOwner() : nullptr;
  if (range.length == 0 || range.base + range.length < range.base) {
    e.fail(e.get("length"), "length", "the range must be non-empty and end below 2^64");
  }
  board.gcd.push_back(range);
}

void readVariable(Reader &e, Board &board) {
  if (e.removal({"name", "guid"})) {
    e.requiredString("name");
    std::u16string name = wide(*e.name("name", true));
    EFI_GUID guid = e.guid("guid");
    // The same name under another GUID is the likelier slip; else a name near it.
    std::vector<std::string> names;
    std::string hint;
    for (const BoardVariable &variable : board.variables) {
      names.push_back(std::string(variable.name.begin(), variable.name.end()));
      if (variable.name == name && hint.empty()) {
        hint = fmt::format(" (its '{}' has GUID {})", names.back(), guidToString(variable.guid));
      }
    }
    std::vector<std::string_view> views(names.begin(), names.end());
    e.removeEntries(
        board.variables,
        [&](const BoardVariable &variable) { return variable.name == name && sameGuid(variable.guid, guid); },
        fmt::format("no [[variable]] '{}' of GUID {}", *e.string("name"), guidToString(guid)) +
            (hint.empty() ? didYouMean(*e.string("name"), views) : hint));
    return;
  }
  BoardVariable variable;
  e.requiredString("name");
  variable.name = wide(*e.name("name", true));
  variable.guid = e.guid("guid");
  variable.data = e.bytes("data");
  e.read("attributes", variable.attributes);
  board.variables.push_back(std::move(variable));
}

// A [[hob]] entry: a GUID HOB by name and data, or the level HOB by its level.
BoardHob readHob(Reader &e) {
  if (auto level = e.unsignedValue("level", 0xFFFFFFFF)) {
    if (e.get("guid") != nullptr || e.get("data") != nullptr) {
      e.fail(e.get("level"), "level", "a level HOB takes no guid or data");
    }
    return levelHob(static_cast<uint32_t>(*level));
  }
  BoardHob hob;
  hob.name = e.guid("guid");
  hob.data = e.bytes("data");
  return hob;
}

void readHobs(Reader &e, Board &board) {
  // A HOB has no name but its GUID: removing one removes every HOB of that GUID.
  if (e.removal({"guid"})) {
    EFI_GUID guid = e.guid("guid");
    std::vector<std::string> guids;
    for (const BoardHob &hob : board.hobs) {
      guids.push_back(guidToString(hob.name));
    }
    std::vector<std::string_view> views(guids.begin(), guids.end());
    e.removeEntries(
        board.hobs, [&](const BoardHob &hob) { return sameGuid(hob.name, guid); },
        fmt::format("no [[hob]] of GUID {}", guidToString(guid)) +
            (guids.empty() ? std::string(" (it has no HOB)") : didYouMean(guidToString(guid), views)));
    return;
  }
  board.hobs.push_back(readHob(e));
}

void readHobList(Reader &e, Board &board) {
  std::vector<BoardHob> list;
  e.entries("hob", [&](Reader &h) { list.push_back(readHob(h)); });
  board.hobLists.push_back(std::move(list));
}

void readCmos(Reader &e, Board &board) {
  for (const auto &[element, pair] :
       e.tuples("bytes", {{0x7F}, {0xFF}}, "each entry is [index 0-127, byte]")) {
    board.cmos[pair[0]] = static_cast<uint8_t>(pair[1]);
  }
}

void readSuperIo(Reader &e, Board &board) {
  e.readBool("set_up_earlier", board.superIo.setUpEarlier);
  e.entries("device", [&](Reader &d) {
    auto number = static_cast<uint8_t>(d.requiredUnsigned("number", 0x0F));
    SuperIoDevice device;
    d.read("active", device.active);
    d.read("base", device.base);
    d.read("irq", device.irq);
    board.superIo.devices[number] = device;
  });
}

void readUart(Reader &e, Board &board) {
  uint64_t base = e.requiredUnsigned("base", 0xFFFF);
  if (base != 0x3F8 && base != 0x2F8) {
    e.fail(e.get("base"), "base", "must be 0x3F8 or 0x2F8");
  }
  UartConfig &uart = base == 0x3F8 ? board.uart3F8 : board.uart2F8;
  e.readBool("present", uart.present);
  e.readBool("fifo_reports_off", uart.fifoReportsOff);
  e.readBool("never_drains", uart.neverDrains);
  e.read("divisor", uart.divisor);
  e.read("lcr", uart.lcr);
  e.read("mcr", uart.mcr);
  e.read("fcr", uart.fcr);
}

void readPci(Reader &e, Board &board) {
  if (e.removal({"bus", "device", "function"})) {
    auto bus = e.requiredUnsigned("bus", 0xFF), device = e.requiredUnsigned("device", 0x1F),
         number = e.requiredUnsigned("function", 7);
    std::vector<std::string> functions;
    for (const BoardPciFunction &function : board.pci) {
      functions.push_back(fmt::format("{:02X}:{:02X}.{}", function.bus, function.device, function.function));
    }
    e.removeEntries(
        board.pci,
        [&](const BoardPciFunction &f) { return f.bus == bus && f.device == device && f.function == number; },
        fmt::format("no [[pci]] function {:02X}:{:02X}.{}", bus, device, number) +
            listed("functions", functions));
    return;
  }
  BoardPciFunction function;
  function.bus = static_cast<uint8_t>(e.requiredUnsigned("bus", 0xFF));
  function.device = static_cast<uint8_t>(e.requiredUnsigned("device", 0x1F));
  function.function = static_cast<uint8_t>(e.requiredUnsigned("function", 7));
  for (const auto &[element, pair] : e.tuples("registers", {{0xFFC, 4}, {0xFFFFFFFF}},
                                              "each entry is [dword offset 0x000-0xFFC, 32-bit value]")) {
    function.registers.emplace_back(static_cast<uint16_t>(pair[0]), static_cast<uint32_t>(pair[1]));
  }
  board.pci.push_back(std::move(function));
}

void readDie(Reader &e, Board &board) {
  if (e.removal({"number"})) {
    auto number = e.requiredUnsigned("number", 7);
    std::vector<std::string> numbers;
    for (const BoardDie &die : board.dies) {
      numbers.push_back(std::to_string(die.number));
    }
    e.removeEntries(
        board.dies, [&](const BoardDie &die) { return die.number == number; },
        fmt::format("no [[die]] number {}", number) + listed("dies", numbers));
    return;
  }
  BoardDie die;
  die.number = static_cast<uint8_t>(e.requiredUnsigned("number", 7));
  die.bus = static_cast<uint8_t>(e.requiredUnsigned("bus", 0xFF));
  for (const auto &[element, pair] :
       e.tuples("indirect", {{0xFFFFFFFF}, {0xFFFFFFFF}}, "each entry is [32-bit register, 32-bit value]")) {
    die.indirect[static_cast<uint32_t>(pair[0])] = static_cast<uint32_t>(pair[1]);
  }
  board.dies.push_back(std::move(die));
}

void readSpi(Reader &e, Board &board) {
  e.read("control", board.spi.control);
  e.read("restricted_cmd", board.spi.restrictedCmd);
  e.read("restricted_cmd2", board.spi.restrictedCmd2);
  e.read("reg_1d", board.spi.reg1D);
}

void readNvram(Reader &e, Board &board) {
  NvramConfig config;
  if (const toml::table *values = e.subtable("values")) {
    for (const auto &[key, node] : *values) {
      auto value = node.value<std::string>();
      if (!node.is_string()) {
        e.fail(&node, "values", fmt::format("attribute '{}' must be a string", Reader::printable(key.str())));
      }
      e.checkText(&node, "values", key.str(), true);
      e.checkText(&node, "values", *value, true);
      config.values[wide(std::string(key.str()))] = wide(*value);
    }
  }
  for (const auto &[element, name] : e.strings("unterminated", "must be an array of attribute names")) {
    e.checkText(element, "unterminated", name, true);
    config.unterminated.insert(wide(name));
  }
  board.nvram = std::move(config);
}

void readIdentity(Reader &e, Board &board) {
  IdentityConfig config;
  e.read("system_id", config.systemId);
  if (auto pwd = e.unsignedValue("pwd", 0xFF)) {
    config.states[PLATFORM_STATE_PWD] = static_cast<uint8_t>(*pwd);
  }
  for (const auto &[element, pair] :
       e.tuples("states", {{0xFFFFFFFF}, {0xFF}}, "each entry is [32-bit selector, answer byte]")) {
    config.states[static_cast<uint32_t>(pair[0])] = static_cast<uint8_t>(pair[1]);
  }
  constexpr IdentityConfig::GetId kGetId[] = {IdentityConfig::GetId::Ok, IdentityConfig::GetId::Fail,
                                              IdentityConfig::GetId::NullRecord};
  if (auto getId = e.oneOf("get_id", {"ok", "fail", "null-record"})) {
    config.getId = kGetId[*getId];
  }
  board.identity = config;
}

void readSata(Reader &e, Board &board) {
  SataConfig config;
  e.read("mode", config.mode);
  if (auto mode = e.oneOf("get_config", {"ok", "fail"})) {
    config.getConfigFails = *mode == 1;
  }
  if (auto mode = e.oneOf("get_port_list", {"ok", "fail", "null-array"})) {
    config.getPortListFails = *mode == 1;
    config.nullArray = *mode == 2;
  }
  e.entries("port", [&](Reader &p) {
    if (config.ports.size() == 255) {
      e.fail(e.get("port"), "port", "at most 255 ports can be listed");
    }
    SataPortConfig port;
    if (auto name = p.name("name", true)) {
      port.name = wide(*name);
    }
    bool nullName = false;
    p.readBool("null_name", nullName);
    if (nullName) {
      port.name.reset();
    } else if (!port.name) {
      p.fail(nullptr, "name", "is required (or null_name = true)");
    }
    p.read("ahci", port.ahciPort);
    p.read("die", port.die);
    config.ports.push_back(std::move(port));
  });
  board.sata = std::move(config);
}

void readDebugPrintService(Reader &e, Board &board) {
  DebugPrintServiceConfig config;
  e.read("filters", config.filters);
  board.debugPrintService = config;
}

// The protocols of other platform modules: present means installed; a
// board that extends another may take one away with remove = true.
void readPlatform(Reader &e, Board &board) {
  auto protocol = [&](std::string_view key, bool installed, auto &&remove, auto &&read) {
    e.section(key, [&](Reader &t) {
      if (!t.removal({})) {
        read(t);
        return;
      }
      if (!installed) {
        auto protocols = platformProtocols();
        auto known = std::find_if(protocols.begin(), protocols.end(),
                                  [&](const PlatformProtocol &p) { return p.key == key; });
        t.fail(t.get("remove"), "remove",
               fmt::format("the board this extends does not install the {} protocol", known->what));
      }
      remove();
    });
  };
  protocol(
      "nvram", board.nvram.has_value(), [&] { board.nvram.reset(); },
      [&](Reader &t) { readNvram(t, board); });
  protocol(
      "identity", board.identity.has_value(), [&] { board.identity.reset(); },
      [&](Reader &t) { readIdentity(t, board); });
  protocol(
      "sata", board.sata.has_value(), [&] { board.sata.reset(); }, [&](Reader &t) { readSata(t, board); });
  protocol(
      "usb_port_control", board.usbPortControl, [&] { board.usbPortControl = false; },
      [&](Reader &) { board.usbPortControl = true; });
  protocol(
      "mc5744", board.mc5744, [&] { board.mc5744 = false; }, [&](Reader &) { board.mc5744 = true; });
  protocol(
      "debug_print_service", board.debugPrintService.has_value(), [&] { board.debugPrintService.reset(); },
      [&](Reader &t) { readDebugPrintService(t, board); });
  protocol(
      "smm_communication", board.smmCommunication, [&] { board.smmCommunication = false; },
      [&](Reader &) { board.smmCommunication = true; });
}

void readS3(Reader &e, Board &board) {
  e.read("comm_buffer_size", board.s3.commBufferSize);
  // The hand-off writes its 40-byte message into the buffer.
  if (board.s3.commBufferSize != 0 &&
      (board.s3.commBufferSize < 40 || board.s3.commBufferSize > (1u << 20))) {
    e.fail(e.get("comm_buffer_size"), "comm_buffer_size", "must be 0 (none) or 40 bytes to 1 MiB");
  }
  e.readBool("resume", board.s3.resume);
  board.s3.clientImage = e.string("client_image").value_or(board.s3.clientImage);
  if (e.get("lose") != nullptr) {
    board.s3.lose.clear();
  }
  for (const auto &[element, triple] :
       e.tuples("lose", {{0xFF}, {0x1F}, {7}}, "each entry is [bus 0-255, device 0-31, function 0-7]")) {
    board.s3.lose.push_back(PciLocation{static_cast<uint8_t>(triple[0]), static_cast<uint8_t>(triple[1]),
                                        static_cast<uint8_t>(triple[2])});
  }
}

void readFailure(Reader &e, Board &board) {
  FailureRule rule;
  e.requiredString("service");
  rule.service = *e.name("service", false);
  rule.call = static_cast<unsigned>(e.unsignedValue("call", 0xFFFFFFFF).value_or(0));
  if (auto status = e.string("status")) {
    auto value = statusFromName(*status);
    if (!value) {
      e.fail(e.get("status"), "status",
             fmt::format("'{}' is not a status name such as EFI_NOT_FOUND", Reader::printable(*status)));
    }
    // A service that "fails" with success or a warning returns without its
    // results (no interface, no event): callers that trust the status crash.
    if (!EFI_ERROR(*value)) {
      e.fail(e.get("status"), "status",
             fmt::format("'{}' is not an error status: a failing service must return an error", *status));
    }
    rule.status = *value;
  }
  if (e.get("guid") != nullptr) {
    rule.guid = e.guid("guid");
  }
  board.failures.push_back(rule);
}

// [expect]: check name -> verdict, or { verdict = ..., count = N } for a
// check that counts. Dotted keys (spi.lock = ...) arrive as nested tables;
// quoted keys ("spi.lock" = ...) as one key. Both are flattened to
// "spi.lock".
void readExpectations(Reader &e, const toml::table &table, const std::string &prefix, Board &board) {
  constexpr std::string_view kVerdicts = "must be \"pass\", \"fail\", \"warn\" or \"not-applicable\"";
  for (const auto &[key, node] : table) {
    std::string name = prefix.empty() ? std::string(key.str()) : prefix + "." + std::string(key.str());
    e.get(key.str());
    e.checkText(&node, name, name, true);
    const toml::table *nested = node.as_table();
    if (nested != nullptr && !nested->contains("verdict")) {
      readExpectations(e, *nested, name, board);
      continue;
    }
    const toml::node *verdictNode = nested != nullptr ? nested->get("verdict") : &node;
    auto verdict = verdictNode->value<std::string>();
    std::optional<Verdict> parsed = verdictNode->is_string() ? parseVerdict(*verdict) : std::nullopt;
    if (!parsed) {
      e.fail(verdictNode, name, std::string(kVerdicts));
    }
    Expectation expectation{*parsed, std::nullopt};
    expectation.where = e.where(&node);
    if (nested != nullptr) {
      for (const auto &[field, value] : *nested) {
        if (field.str() == "count") {
          auto count = value.value<int64_t>();
          if (!value.is_integer() || *count < 0) {
            e.fail(&value, name + ".count", "must be a count (0 or more)");
          }
          expectation.count = static_cast<size_t>(*count);
        } else if (field.str() == "reason") {
          // Reports quote it in XML and Markdown: text only, one line.
          auto reason = value.value<std::string>();
          if (!value.is_string() || reason->empty()) {
            e.fail(&value, name + ".reason", "must be a non-empty string");
          }
          e.checkText(&value, name + ".reason", *reason, false);
          expectation.reason = *reason;
        } else if (field.str() != "verdict") {
          e.fail(&value, name + "." + std::string(field.str()),
                 "is not an expectation key (verdict, count, reason)");
        }
      }
    }
    board.expectations[name] = expectation;
  }
}

void readExpect(Reader &e, Board &board) {
  readExpectations(e, e.table(), "", board);
}

// The sections of a board file, in the order they are read.
struct Section {
  const char *key;
  bool many; // [[key]] rather than [key]
  void (*read)(Reader &, Board &);
};
constexpr Section kSections[] = {
    {"board", false, readBoardTable},
    {"firmware", false, readFirmware},
    {"diagnostics", false, readDiagnostics},
    {"machine", false, readMachine},
    {"pcd", true, readPcd},
    {"gcd", true, readGcd},
    {"variable", true, readVariable},
    {"hob", true, readHobs},
    {"hob_list", true, readHobList},
    {"cmos", false, readCmos},
    {"super_io", false, readSuperIo},
    {"uart", true, readUart},
    {"pci", true, readPci},
    {"die", true, readDie},
    {"spi", false, readSpi},
    {"platform", false, readPlatform},
    {"s3", false, readS3},
    {"fail", true, readFailure},
    {"expect", false, readExpect},
};

Board loadBoard(const std::string &path, int depth);

// The board that `extends` names, else the default machine.
Board baseBoard(const toml::table &root, const std::string &source, int depth) {
  const toml::node *extends = root.at_path("board.extends").node();
  if (extends == nullptr) {
    return Board{};
  }
  auto fail = [&](const std::string &message) {
    throw BoardError(
        fmt::format("{}:{}: key 'board.extends': {}", source, extends->source().begin.line, message));
  };
  auto base = extends->value<std::string>();
  if (!base || !extends->is_string()) {
    fail("must be a string");
  }
  if (depth > kMaxExtendsDepth) {
    throw BoardError(fmt::format("{}: key 'board.extends': boards extend each other in a loop", source));
  }
  if (*base == "reference") {
    return referenceBoard();
  }
  if (auto problem = textProblem(*base, false)) {
    fail(fmt::format("'{}' {}", Reader::printable(*base), *problem));
  }
  std::filesystem::path path = std::filesystem::path(source).parent_path() / *base;
  try {
    return loadBoard(path.string(), depth + 1);
  } catch (const FileReadError &error) {
    // The base's own errors name its file; a base that cannot be read is
    // this board's error.
    std::string hint;
    if (std::filesystem::path(*base).stem() == "reference") {
      hint = " (the built-in reference board is extends = \"reference\")";
    }
    fail(error.what() + hint);
  }
  return Board{};
}

Board parseBoard(std::string_view text, const std::string &source, int depth) {
  toml::table root = parseTomlText(text, source);
  // A board may describe only how it differs from another one.
  Board board = baseBoard(root, source, depth);
  board.source = source;
  Reader r(root, source, "", root.at_path("board.extends").node() != nullptr);
  for (const Section &section : kSections) {
    auto read = [&](Reader &e) { section.read(e, board); };
    if (section.many) {
      r.entries(section.key, read);
    } else {
      r.section(section.key, read);
    }
  }
  r.finish();
  validateBoard(board);
  return board;
}

Board loadBoard(const std::string &path, int depth) {
  return parseBoard(readTomlFile(path), path, depth);
}

} // namespace

Board parseBoardToml(std::string_view text, const std::string &source) {
  return parseBoard(text, source, 0);
}

Board loadBoardFile(const std::string &path) {
  try {
    return loadBoard(path, 0);
  } catch (const FileReadError &error) {
    throw BoardError(error.what());
  }
}

} // namespace sim
