// SPDX-License-Identifier: BSD-2-Clause-Patent
// Names of functions in loaded host images, for reports and traces. The
// firmware is built with hidden visibility, so the dynamic linker knows
// none of them: the names come from the image file's own symbol table.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// The function that contains this address of a copy of the image file
// `image` loaded at `base`, or "" when none is known. Thread-safe; each
// image file is read once per process.
std::string functionName(const void *address, uintptr_t base, const std::string &image);

} // namespace sim
