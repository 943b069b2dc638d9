// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Matrix.h"

#include "Board/Board.h"
#include "Board/TomlText.h"
#include "Boot/PlatformModel.h"
#include "Explore/MatrixPlan.h"
#include "Host/BoundedFile.h"
#include "Host/OutputFile.h"
#include "Host/TimeText.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>

namespace sim::explore {

namespace {

constexpr std::string_view kAbsent = "absent";

// The message quotes the file's text (keys, names): a control character in
// it is shown escaped, so the error stays one printable line.
[[noreturn]] void fail(const std::string &source, const toml::node *node, const std::string &message) {
  unsigned line = node != nullptr ? static_cast<unsigned>(node->source().begin.line) : 0;
  throw MatrixError(printableText(line != 0 ? fmt::format("{}:{}: {}", source, line, message)
                                            : fmt::format("{}: {}", source, message)));
}

std::vector<std::string> splitKey(const std::string &key) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = key.find('.', start);
    parts.push_back(key.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) {
      return parts;
    }
    start = dot + 1;
  }
}

// The TOML text of a value, on one line.
std::string inlineText(const toml::node &node) {
  if (auto text = node.value<std::string>(); text && node.is_string()) {
    return *text;
  }
  std::ostringstream out;
  node.visit([&out](const auto &value) { out << toml::toml_formatter(value); });
  std::string text = out.str();
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

std::shared_ptr<toml::node> copyNode(const toml::node &node) {
  std::shared_ptr<toml::node> out;
  node.visit([&out](const auto &value) {
    using T = std::decay_t<decltype(value)>;
    out = std::make_shared<T>(value);
  });
  return out;
}

// A short name for an axis: the name it was given, else its key's last part.
std::string axisName(const MatrixAxis &axis) {
  return axis.name != axis.key ? axis.name : splitKey(axis.key).back();
}

} // namespace

const char *strategyName(MatrixStrategy strategy) {
  switch (strategy) {
  case MatrixStrategy::Pairwise:
    return "pairwise";
  case MatrixStrategy::T3:
    return "t3";
  case MatrixStrategy::Full:
    break;
  }
  return "full";
}

std::optional<MatrixStrategy> strategyFromName(std::string_view name) {
  for (MatrixStrategy strategy : {MatrixStrategy::Full, MatrixStrategy::Pairwise, MatrixStrategy::T3}) {
    if (name == strategyName(strategy)) {
      return strategy;
    }
  }
  return std::nullopt;
}

void applyBoardValue(toml::table &board, const std::string &key, const toml::node *value, bool append) {
  std::vector<std::string> parts = splitKey(key);
  toml::table *table = &board;
  for (size_t i = 0; i + 1 < parts.size(); i++) {
    toml::node *next = table->get(parts[i]);
    if (next == nullptr) {
      if (value == nullptr) {
        return; // nothing to remove
      }
      next = table->insert_or_assign(parts[i], toml::table{}).first->second.as_table();
    }
    if (!next->is_table()) {
      throw MatrixError(fmt::format("key '{}': '{}' is not a table in the board", key, parts[i]));
    }
    table = next->as_table();
  }
  if (value == nullptr) {
    table->erase(parts.back());
    return;
  }
  toml::array *present = table->get(parts.back()) != nullptr ? table->get(parts.back())->as_array() : nullptr;
  if (append && value->is_array() && value->as_array()->empty()) {
    return; // nothing to add
  }
  if (append && present != nullptr && value->is_array()) {
    for (const toml::node &element : *value->as_array()) {
      element.visit([present](const auto &v) { present->push_back(v); });
    }
    return;
  }
  value->visit([&](const auto &v) { table->insert_or_assign(parts.back(), v); });
}

void mergeBoardTable(toml::table &board, const toml::table &values, bool append) {
  for (const auto &[key, node] : values) {
    std::string name(key.str());
    if (node.is_string() && node.value<std::string>() == kAbsent) {
      board.erase(name);
      continue;
    }
    toml::node *present = board.get(name);
    if (node.is_table() && present != nullptr && present->is_table()) {
      mergeBoardTable(*present->as_table(), *node.as_table(), append);
      continue;
    }
    if (append && node.is_array() && node.as_array()->empty()) {
      continue; // nothing to add
    }
    if (append && node.is_array() && present != nullptr && present->is_array()) {
      for (const toml::node &element : *node.as_array()) {
        element.visit([present](const auto &v) { present->as_array()->push_back(v); });
      }
      continue;
    }
    node.visit([&](const auto &v) { board.insert_or_assign(name, v); });
  }
}

size_t Matrix::size() const {
  if (!cases.empty()) {
    return cases.size();
  }
  size_t total = 1;
  for (const MatrixAxis &axis : axes) {
    if (__builtin_mul_overflow(total, axis.values.size(), &total)) {
      throw MatrixError(fmt::format("{}: the axes make more than {} combinations", source,
                                    std::numeric_limits<size_t>::max()));
    }
  }
  return total;
}

std::vector<std::optional<size_t>> Matrix::combination(size_t index) const {
  if (!cases.empty()) {
    return cases.at(index);
  }
  std::vector<std::optional<size_t>> out(axes.size());
  for (size_t i = axes.size(); i-- > 0;) {
    out[i] = index % axes[i].values.size();
    index /= axes[i].values.size();
  }
  return out;
}

std::string Matrix::label(const std::vector<std::optional<size_t>> &combination) const {
  std::vector<std::string> parts;
  for (size_t i = 0; i < axes.size(); i++) {
    if (combination[i]) {
      parts.push_back(fmt::format("{}={}", axisName(axes[i]), axes[i].labels[*combination[i]]));
    }
  }
  return fmt::format("{}", fmt::join(parts, ", "));
}

std::string Matrix::boardToml(const std::vector<std::optional<size_t>> &combination, bool model) const {
  toml::table board = base;
  for (size_t i = 0; i < axes.size(); i++) {
    if (!combination[i]) {
      continue;
    }
    const toml::node *value = axes[i].values[*combination[i]].get();
    if (axes[i].key.empty()) {
      mergeBoardTable(board, *value->as_table(), axes[i].append);
    } else {
      applyBoardValue(board, axes[i].key, value, axes[i].append);
    }
  }
  toml::table *section = board["board"].as_table();
  if (section == nullptr) {
    section = board.insert_or_assign("board", toml::table{}).first->second.as_table();
  }
  std::string baseName = section->get("name") != nullptr ? section->get("name")->value_or(std::string{}) : "";
  // The name as written, through the TOML writer; only control characters,
  // which the board reader refuses in a name, are shown escaped.
  section->insert_or_assign("name", printableText(fmt::format("{}: {}", name, label(combination))));
  if (const toml::node *extends = section->get("extends")) {
    auto text = extends->value<std::string>();
    if (text && *text != "reference" && std::filesystem::path(*text).is_relative()) {
      auto absolute = std::filesystem::absolute(std::filesystem::path(basePath).parent_path() / *text);
      section->insert_or_assign("extends", absolute.lexically_normal().string());
    }
  }
  std::ostringstream out;
  // Comments end at a line end: what they quote is escaped.
  out << fmt::format("# {} of {}: {}\n# base board: {}{}\n", printableText(name), printableText(source),
                     printableText(label(combination)), printableText(basePath),
                     baseName.empty() ? "" : fmt::format(" ({})", printableText(baseName)));
  if (model) {
    std::ostringstream plain;
    plain << board;
    out << "# What the platform model expects of this board, and why:\n";
    toml::table *expect = board["expect"].as_table();
    if (expect == nullptr) {
      expect = board.insert_or_assign("expect", toml::table{}).first->second.as_table();
    }
    for (const auto &[check, prediction] : predictChecks(parseBoardToml(plain.str(), source))) {
      out << fmt::format("#   {}: {}: {}\n", check, verdictName(prediction.outcome.verdict),
                         printableText(prediction.why));
      toml::table entry{{"verdict", std::string(verdictName(prediction.outcome.verdict))}};
      if (prediction.outcome.count) {
        entry.insert("count", static_cast<int64_t>(*prediction.outcome.count));
      }
      if (!prediction.why.empty()) {
        entry.insert("reason", printableText(prediction.why));
      }
      expect->insert_or_assign(check, std::move(entry));
    }
  }
  out << '\n' << board << '\n';
  return out.str();
}

Matrix parseMatrixToml(std::string_view text, const std::string &source) {
  toml::table root;
  try {
    root = parseTomlText(text, source);
  } catch (const BoardError &error) {
    throw MatrixError(error.what());
  }
  Matrix matrix;
  matrix.source = source;
  for (const auto &[key, node] : root) {
    if (key != "matrix" && key != "axis" && key != "case") {
      fail(source, &node, fmt::format("'{}' is not a matrix setting (matrix, axis, case)", key.str()));
    }
  }
  const toml::table *head = root["matrix"].as_table();
  if (head == nullptr) {
    fail(source, nullptr, "a [matrix] table with 'base' is required");
  }
  for (const auto &[key, node] : *head) {
    if (key != "name" && key != "base" && key != "strategy" && key != "full") {
      fail(source, &node,
           fmt::format("key 'matrix.{}': is not a matrix setting (name, base, strategy, full)", key.str()));
    }
  }
  if (const toml::node *strategy = head->get("strategy")) {
    auto known = strategy->is_string() ? strategyFromName(*strategy->value<std::string>()) : std::nullopt;
    if (!known) {
      fail(source, strategy, "key 'matrix.strategy': must be \"full\", \"pairwise\" or \"t3\"");
    }
    matrix.strategy = *known;
  }
  matrix.name = "matrix";
  if (const toml::node *name = head->get("name")) {
    if (!name->is_string()) {
      fail(source, name, "key 'matrix.name': must be a string");
    }
    matrix.name = *name->value<std::string>();
  }
  const toml::node *baseNode = head->get("base");
  auto base = baseNode != nullptr && baseNode->is_string() ? baseNode->value<std::string>() : std::nullopt;
  if (!base || base->empty()) {
    fail(source, baseNode, "key 'matrix.base': a board file (relative to this file) is required");
  }
  matrix.basePath = (std::filesystem::path(source).parent_path() / *base).lexically_normal().string();
  std::string baseText;
  try {
    baseText = readTomlFile(matrix.basePath);
  } catch (const FileReadError &error) {
    fail(source, baseNode, fmt::format("key 'matrix.base': {}", error.what()));
  }
  // The base must be a board as it stands; its errors are the board reader's.
  parseBoardToml(baseText, matrix.basePath);
  matrix.base = parseTomlText(baseText, matrix.basePath);

  const toml::array *axes = root["axis"].as_array();
  if (axes == nullptr || !axes->is_array_of_tables()) {
    fail(source, root.get("axis"), "at least one [[axis]] with 'key' and 'values' is required");
  }
  for (const toml::node &entry : *axes) {
    const toml::table &table = *entry.as_table();
    MatrixAxis axis;
    for (const auto &[key, node] : table) {
      if (key != "key" && key != "values" && key != "labels" && key != "name" && key != "append" &&
          key != "value") {
        fail(source, &node,
             fmt::format("key 'axis.{}': is not an axis setting (name, key, values, labels, value, append)",
                         key.str()));
      }
    }
    if (const toml::node *append = table.get("append")) {
      if (!append->is_boolean()) {
        fail(source, append, "key 'axis.append': must be true or false");
      }
      axis.append = *append->value<bool>();
    }
    const toml::node *keyNode = table.get("key");
    const toml::node *valueTables = table.get("value");
    if (valueTables != nullptr) {
      // [[axis.value]]: each value a table of board keys, merged into the board.
      if (keyNode != nullptr || table.get("values") != nullptr || table.get("labels") != nullptr) {
        fail(source, valueTables, "an axis gives either 'key' and 'values' or [[axis.value]] tables");
      }
      const toml::node *nameNode = table.get("name");
      auto name = nameNode != nullptr ? nameNode->value<std::string>() : std::nullopt;
      if (!name || name->empty()) {
        fail(source, nameNode != nullptr ? nameNode : &entry,
             "key 'axis.name': an axis of [[axis.value]] tables needs a name");
      }
      axis.name = *name;
      const toml::array *array = valueTables->as_array();
      if (array == nullptr || array->empty() || !array->is_array_of_tables()) {
        fail(source, valueTables, fmt::format("axis '{}': values must be [[axis.value]] tables", axis.name));
      }
      for (const toml::node &value : *array) {
        toml::table board = *value.as_table();
        std::string label = fmt::format("{}", axis.values.size() + 1);
        if (const toml::node *labelNode = board.get("label")) {
          if (!labelNode->is_string()) {
            fail(source, labelNode, fmt::format("axis '{}': 'label' must be a string", axis.name));
          }
          label = *labelNode->value<std::string>();
          board.erase("label");
        }
        axis.values.push_back(std::make_shared<toml::table>(std::move(board)));
        axis.labels.push_back(std::move(label));
      }
    } else {
      auto key = keyNode != nullptr ? keyNode->value<std::string>() : std::nullopt;
      if (!key || key->empty() || key->front() == '.' || key->back() == '.' ||
          key->find("..") != std::string::npos) {
        fail(source, keyNode != nullptr ? keyNode : &entry, "key 'axis.key': a dotted board key is required");
      }
      axis.key = *key;
      axis.name = *key;
      if (const toml::node *nameNode = table.get("name")) {
        if (!nameNode->is_string() || nameNode->value<std::string>()->empty()) {
          fail(source, nameNode, "key 'axis.name': must be a non-empty string");
        }
        axis.name = *nameNode->value<std::string>();
      }
      // Each part becomes a table the generated board nests.
      if (std::count(key->begin(), key->end(), '.') >= static_cast<std::ptrdiff_t>(kMaxTomlNesting)) {
        fail(source, keyNode,
             fmt::format("key 'axis.key': more than {} parts (tables nested in one another)",
                         kMaxTomlNesting));
      }
      const toml::array *values = table.get("values") ? table.get("values")->as_array() : nullptr;
      if (values == nullptr || values->empty()) {
        fail(source, table.get("values") ? table.get("values") : &entry,
             fmt::format("axis '{}': 'values' must be a non-empty array", axis.name));
      }
      for (const toml::node &value : *values) {
        bool absent = value.is_string() && value.value<std::string>() == kAbsent;
        axis.values.push_back(absent ? nullptr : copyNode(value));
        axis.labels.push_back(absent ? std::string(kAbsent) : inlineText(value));
      }
      if (const toml::node *labels = table.get("labels")) {
        const toml::array *array = labels->as_array();
        if (array == nullptr || array->size() != axis.values.size() ||
            !array->is_homogeneous(toml::node_type::string)) {
          fail(source, labels, fmt::format("axis '{}': 'labels' must be one string per value", axis.name));
        }
        for (size_t i = 0; i < array->size(); i++) {
          axis.labels[i] = *array->get(i)->value<std::string>();
        }
      }
    }
    for (const MatrixAxis &other : matrix.axes) {
      if (other.name == axis.name) {
        fail(source, table.get("name") != nullptr ? table.get("name") : keyNode,
             fmt::format("axis '{}' is given twice", axis.name));
      }
    }
    matrix.axes.push_back(std::move(axis));
  }

  // Axes multiplied fully, by name: every combination of theirs boots.
  if (const toml::node *full = head->get("full")) {
    const toml::array *names = full->as_array();
    if (names == nullptr || !names->is_homogeneous(toml::node_type::string)) {
      fail(source, full, "key 'matrix.full': must be a list of axis names");
    }
    for (const toml::node &entry : *names) {
      std::string name = *entry.value<std::string>();
      auto axis = std::find_if(matrix.axes.begin(), matrix.axes.end(),
                               [&name](const MatrixAxis &a) { return a.name == name; });
      if (axis == matrix.axes.end()) {
        fail(source, &entry, fmt::format("key 'matrix.full': '{}' is not the name of an axis", name));
      }
      size_t index = static_cast<size_t>(axis - matrix.axes.begin());
      if (std::find(matrix.fullAxes.begin(), matrix.fullAxes.end(), index) != matrix.fullAxes.end()) {
        fail(source, &entry, fmt::format("key 'matrix.full': '{}' is named twice", name));
      }
      matrix.fullAxes.push_back(index);
    }
  }

  if (const toml::node *cases = root.get("case")) {
    const toml::array *array = cases->as_array();
    if (array == nullptr || !array->is_array_of_tables()) {
      fail(source, cases, "cases must be written as [[case]] tables");
    }
    for (const toml::node &entry : *array) {
      std::vector<std::optional<size_t>> chosen(matrix.axes.size());
      for (const auto &[key, node] : *entry.as_table()) {
        std::string_view name = key.str(); // clang before 16 captures no structured binding
        auto axis = std::find_if(matrix.axes.begin(), matrix.axes.end(),
                                 [name](const MatrixAxis &a) { return a.name == name; });
        if (axis == matrix.axes.end()) {
          fail(source, &node, fmt::format("case: '{}' is not the key of an axis", key.str()));
        }
        std::string wanted = node.is_string() && node.value<std::string>() == kAbsent ? std::string(kAbsent)
                                                                                      : inlineText(node);
        size_t at = 0;
        for (; at < axis->values.size(); at++) {
          std::string text = axis->values[at] ? inlineText(*axis->values[at]) : std::string(kAbsent);
          if (text == wanted || axis->labels[at] == wanted) {
            break;
          }
        }
        if (at == axis->values.size()) {
          fail(source, &node, fmt::format("case: {} is not a value of axis '{}'", wanted, axis->key));
        }
        chosen[static_cast<size_t>(axis - matrix.axes.begin())] = at;
      }
      matrix.cases.push_back(std::move(chosen));
    }
    if (matrix.strategy != MatrixStrategy::Full) {
      fail(source, head->get("strategy"),
           fmt::format("key 'matrix.strategy': {}: the matrix lists its cases, which boot as they are",
                       strategyName(matrix.strategy)));
    }
  }
  // A product that does not fit is refused by the run that would boot it
  // all; a covering or a sample of it boots.
  return matrix;
}

Matrix loadMatrixFile(const std::string &path) {
  try {
    return parseMatrixToml(readTomlFile(path), path);
  } catch (const FileReadError &error) {
    throw MatrixError(error.what());
  }
}

bool MatrixBoot::failed() const {
  return !error.empty() || !disagreements.empty() || explore::violation(verdicts);
}

size_t MatrixResult::failures() const {
  size_t count = 0;
  for (const MatrixOutcome &outcome : outcomes) {
    count += outcome.failed ? outcome.cases.size() : 0;
  }
  return count;
}

void tallyChecks(std::vector<CheckTally> &tallies, const std::vector<CheckResult> &verdicts) {
  for (const CheckResult &check : verdicts) {
    auto it = std::find_if(tallies.begin(), tallies.end(),
                           [&check](const CheckTally &tally) { return tally.name == check.name; });
    if (it == tallies.end()) {
      it = tallies.insert(tallies.end(), CheckTally{check.name, {}});
    }
    it->boots[static_cast<size_t>(check.verdict)]++;
  }
}

void addTallies(std::vector<CheckTally> &into, const std::vector<CheckTally> &from) {
  for (const CheckTally &tally : from) {
    auto it = std::find_if(into.begin(), into.end(),
                           [&tally](const CheckTally &known) { return known.name == tally.name; });
    if (it == into.end()) {
      into.push_back(tally);
      continue;
    }
    for (size_t i = 0; i < tally.boots.size(); i++) {
      it->boots[i] += tally.boots[i];
    }
  }
}

void sortOutcomes(std::vector<MatrixOutcome> &outcomes) {
  std::sort(outcomes.begin(), outcomes.end(), [](const MatrixOutcome &a, const MatrixOutcome &b) {
    if (a.failed != b.failed) {
      return a.failed; // failures first
    }
    if (a.cases.size() != b.cases.size()) {
      return a.cases.size() > b.cases.size();
    }
    return a.example.index < b.example.index; // the order the boots met them
  });
}

namespace {

std::string expectationText(Verdict verdict, std::optional<size_t> count) {
  return count ? fmt::format("{} ({})", verdictName(verdict), *count) : std::string(verdictName(verdict));
}

std::string outcomeKey(const MatrixBoot &boot) {
  if (!boot.error.empty()) {
    return "error: " + boot.error;
  }
  std::vector<std::string> failing;
  for (const CheckResult &verdict : boot.verdicts) {
    if (unexpected(verdict) || (verdict.verdict == Verdict::Warn && !verdict.asExpected())) {
      failing.push_back(fmt::format("{} {}", verdictName(verdict.verdict), verdict.name));
    }
  }
  for (const std::string &disagreement : boot.disagreements) {
    failing.push_back("model " + disagreement.substr(0, disagreement.find(':')));
  }
  std::string key = failing.empty() ? "pass" : fmt::format("{}", fmt::join(failing, ", "));
  for (const auto &[name, value] : boot.effects.fields) {
    key += fmt::format(" | {}: {}", name, value);
  }
  key += fmt::format(" | assertions: {}", boot.effects.assertions.size());
  return key;
}

struct BootEdges {
  std::vector<uint32_t> offsets;
  uint64_t lost = 0;
};

MatrixBoot bootOne(const Matrix &matrix, const MatrixPlan &plan, const MatrixOptions &options, size_t index,
                   BootEdges &edges) {
  MatrixBoot boot;
  boot.index = index;
  auto combination = plan.combination(index);
  boot.label = matrix.label(combination);
  try {
    Board board =
        parseBoardToml(matrix.boardToml(combination), fmt::format("{} case {}", matrix.source, index));
    // The platform model says what each check must conclude on this board;
    // a check that concludes otherwise fails the combination.
    auto predictions = predictChecks(board);
    for (const auto &[name, prediction] : predictions) {
      board.expectations[name] = prediction.outcome;
      board.expectations[name].reason = prediction.why;
    }
    Simulation simulation(board, options.driverImage);
    simulation.run();
    boot.verdicts = simulation.record().checks;
    for (const CheckResult &check : boot.verdicts) {
      auto prediction = predictions.find(check.name);
      if (prediction != predictions.end() && !check.asExpected()) {
        boot.disagreements.push_back(
            fmt::format("{}: got {}, the platform model expects {}: {}", check.name,
                        expectationText(check.verdict, check.count),
                        expectationText(prediction->second.outcome.verdict, prediction->second.outcome.count),
                        prediction->second.why));
      }
    }
    boot.effects = captureEffects(simulation.record());
    edges = BootEdges{simulation.driverEdges(), simulation.driverEdgesLost()};
  } catch (const std::exception &error) {
    boot.error = error.what();
  }
  return boot;
}

} // namespace

MatrixResult runMatrix(const Matrix &matrix, const MatrixOptions &options) {
  return runMatrix(matrix, planMatrix(matrix, options), options);
}

MatrixResult runMatrix(const Matrix &matrix, const MatrixPlan &plan, const MatrixOptions &options) {
  MatrixResult result;
  result.name = matrix.name;
  result.source = matrix.source;
  if (options.limit && *options.limit == 0) {
    throw std::invalid_argument("a matrix run boots at least one combination");
  }
  // Only as many ids as will boot: the plan's, or the first of them.
  size_t count = std::min(plan.size(), options.limit.value_or(plan.size()));
  if (count > kMaxMatrixBoots) {
    throw std::invalid_argument(
        fmt::format("{} boots are more than the {} one run boots", count, kMaxMatrixBoots));
  }
  result.plan = plan.summary(count);
  result.combinations = static_cast<size_t>(result.plan.combinations.value_or(0));
  std::vector<size_t> chosen(count);
  std::iota(chosen.begin(), chosen.end(), size_t{0});

  // The plan is the whole run's; a shard boots its share of it.
  result.digest = matrixPlanDigest(matrix, chosen);
  result.shard = options.shard;
  if (options.shard.count > 1) {
    std::erase_if(chosen, [&](size_t id) { return !options.shard.has(id); });
  }

  result.booted = chosen.size();
  result.threads = std::max(
      1u, std::min<unsigned>(options.threads, static_cast<unsigned>(std::max<size_t>(1, chosen.size()))));
  bool keep = chosen.size() <= options.keepBoots;
  std::atomic<size_t> next{0};
  std::mutex progressLock, groupLock;
  std::map<std::string, size_t> groups;
  size_t done = 0;
  auto started = std::chrono::steady_clock::now();
  auto worker = [&]() {
    for (;;) {
      size_t slot = next.fetch_add(1);
      if (slot >= chosen.size()) {
        return;
      }
      // Only the first boot of each outcome is kept whole; the others
      // leave their id.
      BootEdges edges;
      MatrixBoot boot = bootOne(matrix, plan, options, chosen[slot], edges);
      std::string key = outcomeKey(boot);
      {
        std::lock_guard<std::mutex> lock(groupLock);
        if (options.edges) {
          options.edges(boot.index, std::move(edges.offsets), edges.lost);
        }
        tallyChecks(result.checks, boot.verdicts);
        if (keep) {
          result.boots.push_back(boot);
        }
        auto [it, fresh] = groups.try_emplace(std::move(key), result.outcomes.size());
        if (fresh) {
          bool failed = boot.failed();
          result.outcomes.push_back(MatrixOutcome{it->first, {}, std::move(boot), failed});
          result.outcomes.back().cases.push_back(chosen[slot]);
        } else {
          MatrixOutcome &outcome = result.outcomes[it->second];
          outcome.cases.push_back(boot.index);
          if (boot.index < outcome.example.index) {
            outcome.example = std::move(boot);
          }
        }
      }
      if (options.progress) {
        std::lock_guard<std::mutex> lock(progressLock);
        options.progress(++done, chosen.size());
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < result.threads; i++) {
    threads.emplace_back(worker);
  }
  worker();
  for (std::thread &thread : threads) {
    thread.join();
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  for (MatrixOutcome &outcome : result.outcomes) {
    std::sort(outcome.cases.begin(), outcome.cases.end());
    outcome.cases.shrink_to_fit();
  }
  sortOutcomes(result.outcomes);
  std::sort(result.boots.begin(), result.boots.end(),
            [](const MatrixBoot &a, const MatrixBoot &b) { return a.index < b.index; });
  return result;
}

namespace {

// "-- strategy: pairwise, 45 dimensions, 312 values: 1234 of 1234 pairs covered in 87 boots"
std::string planLine(const MatrixPlanSummary &plan, size_t booted) {
  std::string out = fmt::format("-- strategy: {}", plan.strategy);
  if (plan.seed) {
    out += fmt::format(" of seed {}", *plan.seed);
  }
  out += fmt::format(", {} dimensions, {} values", plan.dimensions, plan.values);
  if (!plan.multiplied.empty()) {
    out += fmt::format(" ({} multiplied fully)", fmt::join(plan.multiplied, ", "));
  }
  if (plan.strength != 0) {
    return out + fmt::format(": {} of {} {} covered in {} boots\n", plan.covered, plan.tuples,
                             plan.strength == 2 ? "pairs" : "triples", booted);
  }
  out += fmt::format(", {} boots", booted);
  if (plan.seed) {
    out += plan.distinct ? " (distinct combinations)" : " (each drawn on its own: one may repeat)";
  }
  return out + "\n";
}

} // namespace

namespace {

// "28 pass, 2 warn": the verdicts a check gave, most common first.
std::string tallyText(const CheckTally &tally) {
  std::vector<size_t> order;
  for (size_t i = 0; i < tally.boots.size(); i++) {
    if (tally.boots[i] != 0) {
      order.push_back(i);
    }
  }
  std::stable_sort(order.begin(), order.end(),
                   [&tally](size_t a, size_t b) { return tally.boots[a] > tally.boots[b]; });
  std::vector<std::string> parts;
  for (size_t i : order) {
    parts.push_back(fmt::format("{} {}", tally.boots[i], verdictName(kVerdicts[i])));
  }
  return fmt::format("{}", fmt::join(parts, ", "));
}

// The checks that judged the run, those that judged alike on one line.
std::string checksText(const std::vector<CheckTally> &checks) {
  if (checks.empty()) {
    return "";
  }
  std::vector<std::pair<std::string, std::vector<std::string>>> lines; // tally, checks
  for (const CheckTally &tally : checks) {
    std::string text = tallyText(tally);
    auto it =
        std::find_if(lines.begin(), lines.end(), [&text](const auto &line) { return line.first == text; });
    if (it == lines.end()) {
      it = lines.insert(lines.end(), {text, {}});
    }
    it->second.push_back(tally.name);
  }
  std::string out = fmt::format("-- {} checks judged the boots:\n", checks.size());
  for (const auto &[text, names] : lines) {
    out += fmt::format("   {}: {}\n", text, fmt::join(names, ", "));
  }
  return out;
}

// An outcome's fields as the table names them: the effects, and the
// assertions' count.
std::vector<std::pair<std::string, std::string>> outcomeFields(const MatrixBoot &example) {
  std::vector<std::pair<std::string, std::string>> fields = example.effects.fields;
  fields.emplace_back("assertions", fmt::format("{}", example.effects.assertions.size()));
  return fields;
}

} // namespace

std::string matrixText(const MatrixResult &result) {
  std::string combinations = result.plan.combinationsText.empty() ? fmt::format("{}", result.combinations)
                                                                  : result.plan.combinationsText;
  std::string out = fmt::format("== Matrix {} ({}): {} of {} combinations booted on {} thread(s) in {}\n",
                                result.name, result.source, result.booted, combinations, result.threads,
                                msText(static_cast<uint64_t>(std::max(0.0, result.seconds) * 1e9)));
  out += planLine(result.plan, result.booted);
  out += checksText(result.checks);

  // A field every outcome shares says nothing of any one: it is told once,
  // and each outcome is named by the fields that set it apart.
  std::vector<std::pair<std::string, std::string>> shared;
  bool first = true;
  for (const MatrixOutcome &outcome : result.outcomes) {
    if (!outcome.example.error.empty()) {
      continue; // a boot that was not built has no fields
    }
    auto fields = outcomeFields(outcome.example);
    if (first) {
      shared = fields;
      first = false;
      continue;
    }
    std::erase_if(shared, [&fields](const auto &field) {
      return std::find(fields.begin(), fields.end(), field) == fields.end();
    });
  }
  if (!shared.empty()) {
    std::vector<std::string> parts;
    for (const auto &[name, value] : shared) {
      parts.push_back(fmt::format("{}: {}", name, value));
    }
    out += fmt::format("-- every boot: {}\n", fmt::join(parts, "; "));
  }

  out += fmt::format("{:>7}  {}\n", "BOOTS", "OUTCOME");
  for (const MatrixOutcome &outcome : result.outcomes) {
    const MatrixBoot &example = outcome.example;
    std::string verdict = outcome.key.substr(0, outcome.key.find(" | "));
    if (!example.error.empty()) {
      out += fmt::format("{:>7}  {}\n", outcome.cases.size(), verdict);
      out += fmt::format("         case {}: {}\n", example.index, example.label);
      continue;
    }
    std::vector<std::string> apart;
    for (const auto &field : outcomeFields(example)) {
      if (std::find(shared.begin(), shared.end(), field) == shared.end()) {
        apart.push_back(fmt::format("{}: {}", field.first, field.second));
      }
    }
    out += fmt::format("{:>7}  {}{}\n", outcome.cases.size(), verdict,
                       apart.empty() ? "" : fmt::format(" -- {}", fmt::join(apart, "; ")));
    for (const CheckResult &check : example.verdicts) {
      if (unexpected(check) || (check.verdict == Verdict::Warn && !check.asExpected())) {
        out += fmt::format("         {} {}: {}\n", verdictName(check.verdict), check.name, check.reason);
      }
    }
    for (const std::string &disagreement : example.disagreements) {
      out += fmt::format("         model {}\n", disagreement);
    }
    out += fmt::format("         e.g. case {}: {}\n", example.index, example.label);
  }
  out += fmt::format("-- totals: {} boots, {} outcomes, {} failing boots\n", result.booted,
                     result.outcomes.size(), result.failures());
  return out;
}

nlohmann::json checksJson(const std::vector<CheckTally> &checks) {
  nlohmann::json out = nlohmann::json::array();
  for (const CheckTally &tally : checks) {
    nlohmann::json entry = {{"check", tally.name}};
    for (Verdict verdict : kVerdicts) {
      entry[std::string(verdictName(verdict))] = tally.boots[static_cast<size_t>(verdict)];
    }
    out.push_back(std::move(entry));
  }
  return out;
}

std::vector<CheckTally> checksFromTallyJson(const nlohmann::json &json) {
  std::vector<CheckTally> out;
  for (const auto &entry : json) {
    CheckTally tally{entry.at("check").get<std::string>(), {}};
    for (Verdict verdict : kVerdicts) {
      tally.boots[static_cast<size_t>(verdict)] = entry.at(std::string(verdictName(verdict))).get<size_t>();
    }
    out.push_back(std::move(tally));
  }
  return out;
}

nlohmann::json matrixJson(const MatrixResult &result) {
  nlohmann::json outcomes = nlohmann::json::array();
  for (const MatrixOutcome &outcome : result.outcomes) {
    const MatrixBoot &example = outcome.example;
    outcomes.push_back({{"boots", outcome.cases.size()},
                        {"key", outcome.key},
                        {"failed", outcome.failed},
                        {"error", example.error},
                        {"verdicts", toJson(example.verdicts)},
                        {"effects", toJson(example.effects)},
                        {"example", example.label},
                        {"model", example.disagreements},
                        {"cases", outcome.cases}});
  }
  nlohmann::json out = {{"name", result.name},
                        {"source", result.source},
                        {"combinations", result.combinations},
                        {"booted", result.booted},
                        {"threads", result.threads},
                        {"seconds", result.seconds},
                        {"failing", result.failures()},
                        {"outcomes", outcomes},
                        {"checks", checksJson(result.checks)},
                        {"plan", result.digest},
                        {"shard", {{"index", result.shard.index}, {"count", result.shard.count}}}};
  const MatrixPlanSummary &plan = result.plan;
  if (!plan.combinations) {
    out["combinations"] = nullptr; // beyond 64 bits: "product" has it in decimal
  }
  out["strategy"] = plan.strategy;
  out["dimensions"] = plan.dimensions;
  out["values"] = plan.values;
  out["product"] = plan.combinationsText;
  out["planned"] = plan.boots;
  if (plan.strength != 0) {
    out["strength"] = plan.strength;
    out["tuples"] = plan.tuples;
    out["covered"] = plan.covered;
    out["multiplied"] = plan.multiplied;
  }
  if (plan.seed) {
    out["seed"] = *plan.seed;
    out["distinct"] = plan.distinct;
  }
  return out;
}

void makeOutputDirectory(const std::string &dir) {
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error || !std::filesystem::is_directory(dir)) {
    throw FileWriteError(fmt::format("{}: cannot be made a folder for the failing combinations: {}", dir,
                                     error ? error.message() : "a file of that name is in the way"));
  }
}

std::vector<std::string> writeBoards(const Matrix &matrix, const MatrixPlan &plan, const MatrixResult &result,
                                     const std::string &dir, bool all) {
  std::vector<size_t> failing;
  for (const MatrixOutcome &outcome : result.outcomes) {
    if (outcome.failed || all) {
      failing.insert(failing.end(), outcome.cases.begin(), outcome.cases.end());
    }
  }
  std::sort(failing.begin(), failing.end());
  return writeCombinationBoards(matrix, plan, failing, dir, "failing combination");
}

std::vector<std::string> writeCombinationBoards(const Matrix &matrix, const MatrixPlan &plan,
                                                const std::vector<size_t> &ids, const std::string &dir,
                                                const char *what) {
  std::vector<std::string> written;
  makeOutputDirectory(dir);
  for (size_t index : ids) {
    std::string path = (std::filesystem::path(dir) / fmt::format("case-{}.toml", index)).string();
    writeOutput(path, matrix.boardToml(plan.combination(index), true), what);
    written.push_back(path);
  }
  return written;
}

} // namespace sim::explore
