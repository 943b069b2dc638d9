// SPDX-License-Identifier: BSD-2-Clause-Patent
// Whole boots of the driver's host image, for tests.
#pragma once

#include "Board/Board.h"
#include "Boot/Boot.h"
#include "Boot/Record.h"
#include "Boot/Trace.h"

#include <string>

namespace boot {

inline const std::string kImage = std::string(KESH_IMAGE_DIR) + "/KeshInitDxe.so";

inline size_t count(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    n++;
  }
  return n;
}

struct Boot {
  explicit Boot(const sim::Board &board) : simulation(board, kImage) { simulation.run(); }
  const std::string &console() const { return simulation.console().bytes(); }

  // Trace index of the first access of this kind at this address (with
  // all of `bits` set in its value), or npos.
  size_t firstAccess(sim::AccessKind kind, uint64_t address, uint64_t bits = 0) const {
    const auto &trace = simulation.machine().trace();
    for (size_t i = 0; i < trace.size(); i++) {
      if (trace[i].kind == kind && trace[i].address == address && (trace[i].value & bits) == bits) {
        return i;
      }
    }
    return std::string::npos;
  }
  size_t accesses(sim::AccessKind kind, uint64_t address) const {
    size_t n = 0;
    for (const auto &e : simulation.machine().trace()) {
      n += e.kind == kind && e.address == address ? e.repeat : 0;
    }
    return n;
  }
  // What the first UART had been sent before a trace index.
  std::string consoleBefore(size_t index) const {
    std::string out;
    const auto &trace = simulation.machine().trace();
    for (size_t i = 0; i < index && i < trace.size(); i++) {
      if (trace[i].kind == sim::AccessKind::IoWrite && trace[i].address == 0x3F8) {
        out.push_back(static_cast<char>(trace[i].value));
      }
    }
    return out;
  }

  mutable sim::Simulation simulation;
};

} // namespace boot
