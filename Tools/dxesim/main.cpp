// SPDX-License-Identifier: BSD-2-Clause-Patent
// dxesim: boots a board with the driver on the simulated platform and shows
// what happened, with a verdict. The command line is Cli.cpp's.
#include "Cli.h"

int main(int argc, char **argv) {
  return dxesim::run(argc, argv);
}
