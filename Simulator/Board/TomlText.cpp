// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "TomlText.h"

#include "Board.h"
#include "Host/BoundedFile.h"

#include <fmt/format.h>

#include <vector>

namespace sim {

namespace {

// One pass over the text, following strings and comments as TOML does,
// checking two things the TOML library must not see:
//  - a character that is not ASCII outside a string or a comment: the
//    library's check of such a character reaches undefined behaviour for
//    some of them;
//  - nesting deeper than kMaxTomlNesting: the library parses (and formats)
//    nested tables and arrays by recursion. Each table-header part, each
//    dotted-key part and each inline table or array counts one level.
class Scanner {
public:
  Scanner(std::string_view text, const std::string &source) : text_(text), source_(source) {}

  void run() {
    startLine();
    for (i_ = 0; i_ < text_.size(); i_++) {
      char c = text_[i_];
      switch (in_) {
      case In::Code:
        code(c);
        break;
      case In::Comment:
        if (c == '\n') {
          in_ = In::Code;
          newline();
        }
        continue;
      case In::Basic:
        stringByte(c);
        if (c == '\\') {
          skipEscaped();
        } else if (c == '"' || c == '\n') {
          in_ = In::Code;
        }
        break;
      case In::Literal:
        stringByte(c);
        in_ = c == '\'' || c == '\n' ? In::Code : in_;
        break;
      case In::MultiBasic:
        stringByte(c);
        if (c == '\\') {
          skipEscaped();
        } else if (at("\"\"\"")) {
          in_ = In::Code;
          i_ += 2;
        }
        break;
      case In::MultiLiteral:
        stringByte(c);
        if (at("'''")) {
          in_ = In::Code;
          i_ += 2;
        }
        break;
      }
      if (i_ < text_.size() && text_[i_] == '\n') {
        newline();
      }
    }
  }

private:
  enum class In { Code, Comment, Basic, Literal, MultiBasic, MultiLiteral };
  // What a level of brackets is: a value array, an inline table, a header.
  enum class Open { Array, InlineTable, Header };
  struct Level {
    Open open;
    unsigned depth; // the depth of the value it is
  };

  bool at(std::string_view what) const { return text_.substr(i_, what.size()) == what; }

  // An escape takes the next character along, a line end included (a line
  // continuation of a multi-line string).
  void skipEscaped() {
    // Every escape TOML knows is ASCII; the library's check of another
    // character after a backslash, or after the blanks a line-ending
    // backslash trims, reaches undefined behaviour for some.
    size_t next = i_ + 1;
    while (next < text_.size() &&
           (text_[next] == ' ' || text_[next] == '\t' || text_[next] == '\r' || text_[next] == '\n')) {
      next++;
    }
    if (next < text_.size() && static_cast<unsigned char>(text_[next]) >= 0x80) {
      fail(fmt::format("a character that is not ASCII (byte 0x{:02X}) escaped in a string",
                       static_cast<unsigned char>(text_[next])));
    }
    if (i_ + 1 < text_.size() && text_[i_ + 1] == '\n') {
      line_++;
    }
    i_++;
  }

  [[noreturn]] void fail(const std::string &message) const {
    throw BoardError(fmt::format("{}:{}: {}", source_, line_, message));
  }

  void deeper() {
    if (++depth_ > kMaxTomlNesting) {
      fail(fmt::format("nested deeper than {} levels (table names, dotted keys, inline tables and arrays "
                       "inside one another)",
                       kMaxTomlNesting));
    }
  }

  // A key starts: its first part is one level below the table it is in.
  void startKey(unsigned tableDepth) {
    key_ = true;
    depth_ = tableDepth;
    deeper();
  }

  void startLine() {
    lineStart_ = true;
    if (levels_.empty()) {
      startKey(headerDepth_);
    }
  }

  void newline() {
    line_++;
    prev_ = '\n';
    startLine();
  }

  // A quote where no value or key can start (after a number, say) opens no
  // string for the library: what follows it is code to the library, and a
  // character that is not ASCII there must be refused as outside a string.
  void stringByte(char c) {
    if (!placed_ && static_cast<unsigned char>(c) >= 0x80) {
      fail(fmt::format("a character that is not ASCII (byte 0x{:02X}) outside a string or a comment",
                       static_cast<unsigned char>(c)));
    }
  }

  void code(char c) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      fail(fmt::format("a character that is not ASCII (byte 0x{:02X}) outside a string or a comment",
                       static_cast<unsigned char>(c)));
    }
    bool first = lineStart_ && c != ' ' && c != '\t' && c != '\r' && c != '\n';
    if (first) {
      lineStart_ = false;
    }
    char before = prev_;
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
      prev_ = c;
    }
    placed_ = first || (before == '=' && separator_) || before == '[' || before == ',' || before == '{' ||
              before == '.' || before == '\n';
    switch (c) {
    case '#':
      in_ = In::Comment;
      return;
    case '"':
      in_ = at("\"\"\"") ? In::MultiBasic : In::Basic;
      i_ += in_ == In::MultiBasic ? 2 : 0;
      return;
    case '\'':
      in_ = at("'''") ? In::MultiLiteral : In::Literal;
      i_ += in_ == In::MultiLiteral ? 2 : 0;
      return;
    case '.':
      if (key_) {
        deeper();
      }
      return;
    case '=':
      // Only the '=' after a key starts a value; another one is an error to
      // the library, and a quote after it opens no string.
      separator_ = key_;
      key_ = false;
      return;
    case '[':
      if (first && levels_.empty()) {
        // A table header, [name] or [[name]]: its parts count from the root.
        i_ += at("[[") ? 1 : 0;
        levels_.push_back({Open::Header, 0});
        startKey(0);
        return;
      }
      levels_.push_back({Open::Array, depth_});
      deeper();
      return;
    case '{':
      levels_.push_back({Open::InlineTable, depth_});
      startKey(depth_);
      return;
    case ',':
      if (!levels_.empty() && levels_.back().open == Open::InlineTable) {
        startKey(levels_.back().depth);
      } else if (!levels_.empty() && levels_.back().open == Open::Array) {
        depth_ = levels_.back().depth;
        deeper();
      }
      return;
    case ']':
    case '}':
      if (levels_.empty()) {
        return; // the second bracket of [[name]], or a mistake the library reports
      }
      if (levels_.back().open == Open::Header) {
        headerDepth_ = depth_;
      }
      depth_ = levels_.back().depth;
      levels_.pop_back();
      key_ = false;
      return;
    default:
      return;
    }
  }

  std::string_view text_;
  const std::string &source_;
  size_t i_ = 0;
  unsigned line_ = 1;
  In in_ = In::Code;
  std::vector<Level> levels_; // at most kMaxTomlNesting: deeper fails first
  unsigned headerDepth_ = 0;  // the parts of the last table header
  unsigned depth_ = 0;
  bool key_ = false;
  bool lineStart_ = true;
  char prev_ = '\n';       // the last character of code that is not blank
  bool placed_ = true;     // the string being read opened where a value or key can start
  bool separator_ = false; // the last '=' separated a key from its value
};

} // namespace

std::string printableText(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      out += fmt::format("\\x{:02X}", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string_view withoutByteOrderMark(std::string_view text) {
  constexpr std::string_view kMark = "\xEF\xBB\xBF";
  return text.substr(0, kMark.size()) == kMark ? text.substr(kMark.size()) : text;
}

toml::table parseTomlText(std::string_view text, const std::string &source) {
  // Editors on some systems start UTF-8 files with a byte-order mark; it
  // says nothing here, so it is skipped wherever TOML is read.
  text = withoutByteOrderMark(text);
  Scanner(text, source).run();
  try {
    return toml::parse(text, source);
  } catch (const toml::parse_error &error) {
    throw BoardError(
        fmt::format("{}:{}: {}", source, error.source().begin.line, printableText(error.description())));
  }
}

std::string readTomlFile(const std::string &path) {
  return readBoundedText(path, kMaxBoardFileBytes);
}

} // namespace sim
