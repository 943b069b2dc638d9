// Board files: TOML, read strictly. A key the simulator does not know is an
// error, not a silent default, so a misspelt setting never boots a
// different machine than the one described.
#include "Board.h"

#include <fmt/format.h>
#include <toml++/toml.h>

#include <filesystem>
#include <set>

namespace sim {

namespace {

uint64_t memoryAttributeBit(std::string_view name) {
  static const std::map<std::string_view, uint64_t> kBits = {
      {"UC", EFI_MEMORY_UC}, {"WC", EFI_MEMORY_WC},   {"WT", EFI_MEMORY_WT},
      {"WB", EFI_MEMORY_WB}, {"UCE", EFI_MEMORY_UCE}, {"WP", EFI_MEMORY_WP},
      {"RP", EFI_MEMORY_RP}, {"XP", EFI_MEMORY_XP},   {"RUNTIME", EFI_MEMORY_RUNTIME}};
  auto found = kBits.find(name);
  return found == kBits.end() ? 0 : found->second;
}

std::optional<EFI_GCD_MEMORY_TYPE> gcdTypeFromName(std::string_view name) {
  if (name == "non-existent") {
    return EfiGcdMemoryTypeNonExistent;
  }
  if (name == "reserved") {
    return EfiGcdMemoryTypeReserved;
  }
  if (name == "system-memory") {
    return EfiGcdMemoryTypeSystemMemory;
  }
  if (name == "mmio") {
    return EfiGcdMemoryTypeMemoryMappedIo;
  }
  if (name == "persistent") {
    return EfiGcdMemoryTypePersistent;
  }
  if (name == "more-reliable") {
    return EfiGcdMemoryTypeMoreReliable;
  }
  return std::nullopt;
}

// Reads one table, remembering which keys were used; finish() rejects the rest.
class Reader {
public:
  Reader(const toml::table &table, std::string source, std::string path)
      : table_(table), source_(std::move(source)), path_(std::move(path)) {}

  [[noreturn]] void fail(const toml::node *node, std::string_view key, const std::string &message) const {
    unsigned line = node != nullptr ? static_cast<unsigned>(node->source().begin.line) : 0;
    if (line == 0) {
      line = static_cast<unsigned>(table_.source().begin.line);
    }
    throw BoardError(fmt::format("{}:{}: key '{}': {}", source_, line, qualified(key), message));
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
    if (auto integer = node->value<int64_t>(); integer && node->is_integer()) {
      if (*integer < 0) {
        fail(node, key, "must not be negative");
      }
      value = static_cast<uint64_t>(*integer);
    } else if (auto text = node->value<std::string>()) {
      // Values above 2^63 do not fit a TOML integer; they are written as strings.
      try {
        size_t used = 0;
        value = std::stoull(*text, &used, 0);
        if (used != text->size()) {
          throw std::invalid_argument("trailing characters");
        }
      } catch (const std::exception &) {
        fail(node, key, fmt::format("'{}' is not a number", *text));
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

  uint64_t requiredUnsigned(std::string_view key, uint64_t max) {
    auto value = unsignedValue(key, max);
    if (!value) {
      fail(nullptr, key, "is required");
    }
    return *value;
  }

  EFI_GUID guid(std::string_view key) {
    std::string text = requiredString(key);
    auto guid = guidFromString(text);
    if (!guid) {
      fail(get(key), key, fmt::format("'{}' is not a GUID (8-4-4-4-12 hexadecimal digits)", text));
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
                           name.value_or("?")));
        }
        mask |= bit;
      }
      return mask;
    }
    used_.erase(std::string(key));
    return unsignedValue(key, ~0ULL);
  }

  std::vector<uint8_t> bytes(std::string_view key) {
    const toml::node *node = get(key);
    std::vector<uint8_t> out;
    if (node == nullptr) {
      return out;
    }
    const toml::array *array = node->as_array();
    if (array == nullptr) {
      fail(node, key, "must be an array of bytes");
    }
    for (const toml::node &element : *array) {
      auto value = element.value<int64_t>();
      if (!element.is_integer() || !value || *value < 0 || *value > 0xFF) {
        fail(&element, key, "every element must be a byte (0 to 255)");
      }
      out.push_back(static_cast<uint8_t>(*value));
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

  // [[key]] arrays of tables.
  std::vector<const toml::table *> tables(std::string_view key) {
    std::vector<const toml::table *> out;
    const toml::node *node = get(key);
    if (node == nullptr) {
      return out;
    }
    const toml::array *array = node->as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      fail(node, key, fmt::format("must be written as [[{}]] tables", qualified(key)));
    }
    for (const toml::node &element : *array) {
      out.push_back(element.as_table());
    }
    return out;
  }

  void finish() const {
    for (const auto &[key, node] : table_) {
      if (used_.count(std::string(key.str())) == 0) {
        fail(&node, key.str(), "is not a board setting");
      }
    }
  }

  const std::string &source() const { return source_; }
  std::string childPath(std::string_view key) const { return qualified(key); }

private:
  const toml::table &table_;
  std::string source_;
  std::string path_;
  std::set<std::string> used_;
};

void readFirmware(Reader &r, Board &board) {
  r.read("system_table_revision", board.systemTableRevision);
  r.readBool("runtime_services", board.runtimeServices);
  r.readBool("dxe_services", board.dxeServices);
  if (const toml::node *node = r.get("timeline")) {
    const toml::array *steps = node->as_array();
    if (steps == nullptr) {
      r.fail(node, "timeline", "must be an array of step names");
    }
    board.timeline.clear();
    for (const toml::node &element : *steps) {
      auto name = element.value<std::string>();
      auto step = name ? stepFromName(*name) : std::nullopt;
      if (!step) {
        r.fail(
            &element, "timeline",
            fmt::format("'{}' is not a step (load, pci-enumeration-complete, smm-ready-to-lock, end-of-dxe, "
                        "ready-to-boot, exit-boot-services, load-s3-client)",
                        name.value_or("?")));
      }
      board.timeline.push_back(*step);
    }
    if (std::count(board.timeline.begin(), board.timeline.end(), Step::Load) != 1) {
      r.fail(node, "timeline", "must hold \"load\" exactly once");
    }
  }
}

void readMachine(Reader &r, Board &board) {
  r.read("access_cost_ns", board.accessCostNs);
  r.read("time_budget_ms", board.timeBudgetMs);
  for (const toml::table *entry : r.tables("cpuid")) {
    Reader e(*entry, r.source(), r.childPath("cpuid"));
    uint32_t leaf = static_cast<uint32_t>(e.requiredUnsigned("leaf", 0xFFFFFFFF));
    CpuidRegs regs;
    e.read("eax", regs.eax);
    e.read("ebx", regs.ebx);
    e.read("ecx", regs.ecx);
    e.read("edx", regs.edx);
    e.finish();
    board.cpuid[leaf] = regs;
  }
  for (const toml::table *entry : r.tables("msr")) {
    Reader e(*entry, r.source(), r.childPath("msr"));
    uint32_t index = static_cast<uint32_t>(e.requiredUnsigned("index", 0xFFFFFFFF));
    board.msr[index] = e.requiredUnsigned("value", ~0ULL);
    e.finish();
  }
}

void readPcd(Reader &e, Board &board) {
  UINTN token = e.requiredUnsigned("token", 0xFFFFFFFF);
  unsigned size = static_cast<unsigned>(e.unsignedValue("size", 8).value_or(8));
  if (size != 1 && size != 2 && size != 4 && size != 8) {
    e.fail(e.get("size"), "size", "must be 1, 2, 4 or 8 bytes");
  }
  uint64_t max = size == 8 ? ~0ULL : (1ULL << (size * 8)) - 1;
  uint64_t value = e.unsignedValue("value", max).value_or(0);
  board.pcd[token] = PcdToken{size, value};
}

void readGcd(Reader &e, Board &board) {
  GcdRange range{};
  range.base = e.requiredUnsigned("base", ~0ULL);
  range.length = e.requiredUnsigned("length", ~0ULL);
  std::string type = e.requiredString("type");
  auto gcdType = gcdTypeFromName(type);
  if (!gcdType) {
    e.fail(
        e.get("type"), "type",
        fmt::format("'{}' is not a GCD memory type (non-existent, reserved, system-memory, mmio, persistent, "
                    "more-reliable)",
                    type));
  }
  range.type = *gcdType;
  range.capabilities = e.attributes("capabilities").value_or(0);
  range.attributes = e.attributes("attributes").value_or(0);
  if (range.length == 0 || range.base + range.length < range.base) {
    e.fail(e.get("length"), "length", "the range must be non-empty and end below 2^64");
  }
  board.gcd.push_back(range);
}

void readFailure(Reader &e, Board &board) {
  FailureRule rule;
  rule.service = e.requiredString("service");
  rule.call = static_cast<unsigned>(e.unsignedValue("call", 0xFFFFFFFF).value_or(0));
  if (auto status = e.string("status")) {
    auto value = statusFromName(*status);
    if (!value) {
      e.fail(e.get("status"), "status",
             fmt::format("'{}' is not a status name such as EFI_NOT_FOUND", *status));
    }
    rule.status = *value;
  }
  if (e.get("guid") != nullptr) {
    rule.guid = e.guid("guid");
  }
  board.failures.push_back(rule);
}

std::u16string wide(const std::string &text) {
  return std::u16string(text.begin(), text.end());
}

void readPlatform(Reader &r, Board &board) {
  if (const toml::table *t = r.subtable("nvram")) {
    Reader e(*t, r.source(), r.childPath("nvram"));
    NvramConfig config;
    if (const toml::table *values = e.subtable("values")) {
      for (const auto &[key, node] : *values) {
        auto value = node.value<std::string>();
        if (!node.is_string()) {
          e.fail(&node, "values", fmt::format("attribute '{}' must be a string", key.str()));
        }
        config.values[wide(std::string(key.str()))] = wide(*value);
      }
    }
    if (const toml::node *node = e.get("unterminated")) {
      const toml::array *names = node->as_array();
      if (names == nullptr) {
        e.fail(node, "unterminated", "must be an array of attribute names");
      }
      for (const toml::node &element : *names) {
        auto name = element.value<std::string>();
        if (!name) {
          e.fail(&element, "unterminated", "must be an array of attribute names");
        }
        config.unterminated.insert(wide(*name));
      }
    }
    e.finish();
    board.nvram = std::move(config);
  }
  if (const toml::table *t = r.subtable("identity")) {
    Reader e(*t, r.source(), r.childPath("identity"));
    IdentityConfig config;
    e.read("system_id", config.systemId);
    if (auto pwd = e.unsignedValue("pwd", 0xFF)) {
      config.states[PLATFORM_STATE_PWD] = static_cast<uint8_t>(*pwd);
    }
    if (const toml::node *node = e.get("states")) {
      const toml::array *pairs = node->as_array();
      if (pairs == nullptr) {
        e.fail(node, "states", "must be an array of [selector, answer] pairs");
      }
      for (const toml::node &element : *pairs) {
        const toml::array *pair = element.as_array();
        auto selector = pair != nullptr && pair->size() == 2 ? pair->get(0)->value<int64_t>() : std::nullopt;
        auto answer = pair != nullptr && pair->size() == 2 ? pair->get(1)->value<int64_t>() : std::nullopt;
        if (!selector || !answer || *selector < 0 || *answer < 0 || *answer > 0xFF) {
          e.fail(&element, "states", "each entry is [selector, answer byte]");
        }
        config.states[static_cast<uint32_t>(*selector)] = static_cast<uint8_t>(*answer);
      }
    }
    if (auto getId = e.string("get_id")) {
      if (*getId == "ok") {
        config.getId = IdentityConfig::GetId::Ok;
      } else if (*getId == "fail") {
        config.getId = IdentityConfig::GetId::Fail;
      } else if (*getId == "null-record") {
        config.getId = IdentityConfig::GetId::NullRecord;
      } else {
        e.fail(e.get("get_id"), "get_id", fmt::format("'{}' is not ok, fail or null-record", *getId));
      }
    }
    e.finish();
    board.identity = config;
  }
  if (const toml::table *t = r.subtable("sata")) {
    Reader e(*t, r.source(), r.childPath("sata"));
    SataConfig config;
    e.read("mode", config.mode);
    if (auto mode = e.string("get_config")) {
      if (*mode != "ok" && *mode != "fail") {
        e.fail(e.get("get_config"), "get_config", "must be ok or fail");
      }
      config.getConfigFails = *mode == "fail";
    }
    if (auto mode = e.string("get_port_list")) {
      if (*mode != "ok" && *mode != "fail" && *mode != "null-array") {
        e.fail(e.get("get_port_list"), "get_port_list", "must be ok, fail or null-array");
      }
      config.getPortListFails = *mode == "fail";
      config.nullArray = *mode == "null-array";
    }
    for (const toml::table *entry : e.tables("port")) {
      Reader p(*entry, r.source(), e.childPath("port"));
      SataPortConfig port;
      if (auto name = p.string("name")) {
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
      p.finish();
      config.ports.push_back(std::move(port));
    }
    if (config.ports.size() > 255) {
      e.fail(e.get("port"), "port", "at most 255 ports can be listed");
    }
    e.finish();
    board.sata = std::move(config);
  }
  if (const toml::table *t = r.subtable("usb_port_control")) {
    Reader e(*t, r.source(), r.childPath("usb_port_control"));
    e.finish();
    board.usbPortControl = true;
  }
  if (const toml::table *t = r.subtable("mc5744")) {
    Reader e(*t, r.source(), r.childPath("mc5744"));
    e.finish();
    board.mc5744 = true;
  }
  if (const toml::table *t = r.subtable("debug_print_service")) {
    Reader e(*t, r.source(), r.childPath("debug_print_service"));
    DebugPrintServiceConfig config;
    e.read("filters", config.filters);
    e.finish();
    board.debugPrintService = config;
  }
  if (const toml::table *t = r.subtable("smm_communication")) {
    Reader e(*t, r.source(), r.childPath("smm_communication"));
    e.finish();
    board.smmCommunication = true;
  }
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
  if (const toml::node *node = e.get("lose")) {
    const toml::array *functions = node->as_array();
    if (functions == nullptr) {
      e.fail(node, "lose", "must be an array of [bus, device, function] triples");
    }
    board.s3.lose.clear();
    for (const toml::node &element : *functions) {
      const toml::array *triple = element.as_array();
      std::optional<int64_t> parts[3];
      for (size_t i = 0; triple != nullptr && triple->size() == 3 && i < 3; i++) {
        parts[i] = triple->get(i)->value<int64_t>();
      }
      if (!parts[0] || !parts[1] || !parts[2] || *parts[0] < 0 || *parts[0] > 0xFF || *parts[1] < 0 ||
          *parts[1] > 0x1F || *parts[2] < 0 || *parts[2] > 7) {
        e.fail(&element, "lose", "each entry is [bus 0-255, device 0-31, function 0-7]");
      }
      board.s3.lose.push_back(PciLocation{static_cast<uint8_t>(*parts[0]), static_cast<uint8_t>(*parts[1]),
                                          static_cast<uint8_t>(*parts[2])});
    }
  }
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

// Pairs [first, second] of integers, each within its bound.
std::vector<std::pair<uint64_t, uint64_t>> readPairs(Reader &e, std::string_view key, uint64_t firstMax,
                                                     uint64_t secondMax, const char *what) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  const toml::node *node = e.get(key);
  if (node == nullptr) {
    return out;
  }
  const toml::array *pairs = node->as_array();
  if (pairs == nullptr) {
    e.fail(node, key, what);
  }
  for (const toml::node &element : *pairs) {
    const toml::array *pair = element.as_array();
    auto first = pair != nullptr && pair->size() == 2 ? pair->get(0)->value<int64_t>() : std::nullopt;
    auto second = pair != nullptr && pair->size() == 2 ? pair->get(1)->value<int64_t>() : std::nullopt;
    if (!first || !second || *first < 0 || *second < 0 || static_cast<uint64_t>(*first) > firstMax ||
        static_cast<uint64_t>(*second) > secondMax) {
      e.fail(&element, key, what);
    }
    out.emplace_back(static_cast<uint64_t>(*first), static_cast<uint64_t>(*second));
  }
  return out;
}

// CMOS bytes, the Super I/O and the two UARTs.
void readConsole(Reader &r, Board &board) {
  if (const toml::table *t = r.subtable("cmos")) {
    Reader e(*t, r.source(), "cmos");
    for (const auto &[index, value] :
         readPairs(e, "bytes", 0x7F, 0xFF, "each entry is [index 0-127, byte]")) {
      board.cmos[index] = static_cast<uint8_t>(value);
    }
    e.finish();
  }
  if (const toml::table *t = r.subtable("super_io")) {
    Reader e(*t, r.source(), "super_io");
    e.readBool("set_up_earlier", board.superIo.setUpEarlier);
    for (const toml::table *entry : e.tables("device")) {
      Reader d(*entry, r.source(), e.childPath("device"));
      auto number = static_cast<uint8_t>(d.requiredUnsigned("number", 0x0F));
      SuperIoDevice device;
      d.read("active", device.active);
      d.read("base", device.base);
      d.read("irq", device.irq);
      d.finish();
      board.superIo.devices[number] = device;
    }
    e.finish();
  }
  for (const toml::table *t : r.tables("uart")) {
    Reader e(*t, r.source(), "uart");
    uint64_t base = e.requiredUnsigned("base", 0xFFFF);
    if (base != 0x3F8 && base != 0x2F8) {
      e.fail(e.get("base"), "base", "must be 0x3F8 or 0x2F8");
    }
    UartConfig &uart = base == 0x3F8 ? board.uart3F8 : board.uart2F8;
    e.readBool("present", uart.present);
    e.readBool("fifo_reports_off", uart.fifoReportsOff);
    e.readBool("never_drains", uart.neverDrains);
    if (auto divisor = e.unsignedValue("divisor", 0xFFFF)) {
      uart.divisor = static_cast<uint16_t>(*divisor);
    }
    for (auto [key, field] : {std::pair{"lcr", &uart.lcr}, {"mcr", &uart.mcr}, {"fcr", &uart.fcr}}) {
      if (auto value = e.unsignedValue(key, 0xFF)) {
        *field = static_cast<uint8_t>(*value);
      }
    }
    e.finish();
  }
}

} // namespace

Board parseBoardToml(std::string_view text, const std::string &source) {
  toml::table root;
  try {
    root = toml::parse(text, source);
  } catch (const toml::parse_error &error) {
    throw BoardError(fmt::format("{}:{}: {}", source, error.source().begin.line, error.description()));
  }

  Board board;
  // A board may describe only how it differs from another one.
  if (const toml::node *extends = root.at_path("board.extends").node()) {
    auto base = extends->value<std::string>();
    if (!base) {
      throw BoardError(
          fmt::format("{}:{}: key 'board.extends': must be a string", source, extends->source().begin.line));
    }
    static thread_local int depth = 0;
    if (depth > 8) {
      throw BoardError(fmt::format("{}: key 'board.extends': boards extend each other in a loop", source));
    }
    depth++;
    try {
      if (*base == "reference") {
        board = referenceBoard();
      } else {
        std::filesystem::path path = std::filesystem::path(source).parent_path() / *base;
        board = loadBoardFile(path.string());
      }
    } catch (...) {
      depth--;
      throw;
    }
    depth--;
  }
  board.source = source;
  Reader r(root, source, "");
  if (const toml::table *t = r.subtable("board")) {
    Reader e(*t, source, "board");
    e.get("extends");
    board.name = e.string("name").value_or(board.name);
    board.driverImage = e.string("driver_image").value_or("");
    e.finish();
  }
  if (const toml::table *t = r.subtable("firmware")) {
    Reader e(*t, source, "firmware");
    readFirmware(e, board);
    e.finish();
  }
  if (const toml::table *t = r.subtable("diagnostics")) {
    Reader e(*t, source, "diagnostics");
    e.read("debug_environment_answer", board.debugEnvironmentAnswer);
    e.finish();
  }
  if (const toml::table *t = r.subtable("machine")) {
    Reader e(*t, source, "machine");
    readMachine(e, board);
    e.finish();
  }
  for (const toml::table *t : r.tables("pcd")) {
    Reader e(*t, source, "pcd");
    readPcd(e, board);
    e.finish();
  }
  for (const toml::table *t : r.tables("gcd")) {
    Reader e(*t, source, "gcd");
    readGcd(e, board);
    e.finish();
  }
  for (const toml::table *t : r.tables("variable")) {
    Reader e(*t, source, "variable");
    BoardVariable variable;
    std::string name = e.requiredString("name");
    variable.name.assign(name.begin(), name.end());
    variable.guid = e.guid("guid");
    variable.data = e.bytes("data");
    e.read("attributes", variable.attributes);
    e.finish();
    board.variables.push_back(std::move(variable));
  }
  for (const toml::table *t : r.tables("hob")) {
    Reader e(*t, source, "hob");
    board.hobs.push_back(readHob(e));
    e.finish();
  }
  for (const toml::table *t : r.tables("hob_list")) {
    Reader e(*t, source, "hob_list");
    std::vector<BoardHob> list;
    for (const toml::table *entry : e.tables("hob")) {
      Reader h(*entry, source, e.childPath("hob"));
      list.push_back(readHob(h));
      h.finish();
    }
    e.finish();
    board.hobLists.push_back(std::move(list));
  }
  readConsole(r, board);
  for (const toml::table *t : r.tables("pci")) {
    Reader e(*t, source, "pci");
    BoardPciFunction function;
    function.bus = static_cast<uint8_t>(e.requiredUnsigned("bus", 0xFF));
    function.device = static_cast<uint8_t>(e.requiredUnsigned("device", 0x1F));
    function.function = static_cast<uint8_t>(e.requiredUnsigned("function", 7));
    if (const toml::node *node = e.get("registers")) {
      const toml::array *pairs = node->as_array();
      if (pairs == nullptr) {
        e.fail(node, "registers", "must be an array of [offset, value] pairs");
      }
      for (const toml::node &element : *pairs) {
        const toml::array *pair = element.as_array();
        auto offset = pair != nullptr && pair->size() == 2 ? pair->get(0)->value<int64_t>() : std::nullopt;
        auto value = pair != nullptr && pair->size() == 2 ? pair->get(1)->value<int64_t>() : std::nullopt;
        if (!offset || !value || *offset < 0 || *offset > 0xFFC || (*offset & 3) != 0 || *value < 0 ||
            *value > 0xFFFFFFFF) {
          e.fail(&element, "registers", "each entry is [dword offset 0x000-0xFFC, 32-bit value]");
        }
        function.registers.emplace_back(static_cast<uint16_t>(*offset), static_cast<uint32_t>(*value));
      }
    }
    e.finish();
    board.pci.push_back(std::move(function));
  }
  for (const toml::table *t : r.tables("die")) {
    Reader e(*t, source, "die");
    BoardDie die;
    die.number = static_cast<uint8_t>(e.requiredUnsigned("number", 7));
    die.bus = static_cast<uint8_t>(e.requiredUnsigned("bus", 0xFF));
    if (const toml::node *node = e.get("indirect")) {
      const toml::array *pairs = node->as_array();
      if (pairs == nullptr) {
        e.fail(node, "indirect", "must be an array of [register, value] pairs");
      }
      for (const toml::node &element : *pairs) {
        const toml::array *pair = element.as_array();
        auto reg = pair != nullptr && pair->size() == 2 ? pair->get(0)->value<int64_t>() : std::nullopt;
        auto value = pair != nullptr && pair->size() == 2 ? pair->get(1)->value<int64_t>() : std::nullopt;
        if (!reg || !value || *reg < 0 || *reg > 0xFFFFFFFF || *value < 0 || *value > 0xFFFFFFFF) {
          e.fail(&element, "indirect", "each entry is [32-bit register, 32-bit value]");
        }
        die.indirect[static_cast<uint32_t>(*reg)] = static_cast<uint32_t>(*value);
      }
    }
    e.finish();
    board.dies.push_back(std::move(die));
  }
  if (const toml::table *t = r.subtable("spi")) {
    Reader e(*t, source, "spi");
    e.read("control", board.spi.control);
    e.read("restricted_cmd", board.spi.restrictedCmd);
    e.read("restricted_cmd2", board.spi.restrictedCmd2);
    e.read("reg_1d", board.spi.reg1D);
    e.finish();
  }
  if (const toml::table *t = r.subtable("platform")) {
    Reader e(*t, source, "platform");
    readPlatform(e, board);
    e.finish();
  }
  if (const toml::table *t = r.subtable("s3")) {
    Reader e(*t, source, "s3");
    readS3(e, board);
    e.finish();
  }
  for (const toml::table *t : r.tables("fail")) {
    Reader e(*t, source, "fail");
    readFailure(e, board);
    e.finish();
  }
  // Check name = the verdict this machine is expected to get; the boot
  // refuses names and verdicts it does not know.
  if (const toml::table *t = r.subtable("expect")) {
    Reader e(*t, source, "expect");
    for (const auto &entry : *t) {
      std::string name(entry.first.str());
      board.expectedVerdicts[name] = *e.string(name);
    }
    e.finish();
  }
  r.finish();
  validateBoard(board);
  return board;
}

} // namespace sim
