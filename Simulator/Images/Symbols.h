// SPDX-License-Identifier: BSD-2-Clause-Patent
// Names of functions in loaded host images, for reports and traces. The
// firmware is built with hidden visibility, so the dynamic linker knows
// none of them: the names come from the image file's own symbol table.
#pragma once

#include <string>

namespace sim {

// The function that contains this address in a loaded copy of the image
// file `image`, or "" when none is known. Thread-safe; each image file is
// read once per process.
std::string functionName(const void *address, const std::string &image);

} // namespace sim
