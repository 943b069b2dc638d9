// SPDX-License-Identifier: BSD-2-Clause-Patent
// The one way TOML text a user hands to dxesim (boards, matrices and their
// bases) reaches the TOML library: read bounded (Host/BoundedFile.h), a
// UTF-8 byte-order mark skipped, bytes the library mishandles and nesting
// deep enough to exhaust its recursion refused first, each with a line.
#pragma once

#include <toml++/toml.h>

#include <string>
#include <string_view>

namespace sim {

// Tables, dotted-key parts, inline tables and arrays inside one another:
// far above any real board, far below what overflows the stack.
constexpr unsigned kMaxTomlNesting = 64;

// Text as it may be printed in one line: control characters escaped (\x0A).
std::string printableText(std::string_view text);

// The text without a leading UTF-8 byte-order mark.
std::string_view withoutByteOrderMark(std::string_view text);

// Parses after the checks above; every refusal is a BoardError
// "SOURCE:LINE: message" on one printable line.
toml::table parseTomlText(std::string_view text, const std::string &source);

// The file read bounded in size; an unreadable one is a FileReadError.
std::string readTomlFile(const std::string &path);

} // namespace sim
