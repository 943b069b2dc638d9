// SPDX-License-Identifier: BSD-2-Clause-Patent
// For tests that link firmware libraries straight into the test: the
// console and error-level instances those libraries need, this test
// module's build settings, and the binding of the host hardware
// primitives to a simulated machine.
#pragma once

#include "Machine/Machine.h"

#include <HwAccessSimBinding.h>

#include <string>

namespace harness {

// What the firmware wrote to its console, and the level it prints at.
std::string &console();
void setErrorLevel(uint32_t level);

// Binds the firmware's hardware primitives to the machine for its lifetime.
class MachineBinding {
public:
  explicit MachineBinding(sim::Machine &machine);
  ~MachineBinding();
  MachineBinding(const MachineBinding &) = delete;
  MachineBinding &operator=(const MachineBinding &) = delete;

private:
  HW_SIM_BINDING binding_{};
};

} // namespace harness
