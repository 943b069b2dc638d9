// SPDX-License-Identifier: BSD-2-Clause-Patent
// fuzz-board-from-bytes INPUT [OUTPUT]: the board file a boot fuzz input
// stands for, so that a finding replays with `dxesim boot OUTPUT`.
#include "FuzzTargets.h"
#include "Host/BoundedFile.h"

#include <fstream>
#include <iostream>

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) {
    std::cerr << "usage: fuzz-board-from-bytes INPUT [OUTPUT]\n";
    return 1;
  }
  try {
    std::vector<uint8_t> input = sim::readBoundedFile(argv[1], 1 << 20);
    std::string board = fuzz::boardFromBytes(input);
    if (argc == 2) {
      std::cout << board;
      return 0;
    }
    std::ofstream out(argv[2]);
    out << board;
    if (!out) {
      std::cerr << "fuzz-board-from-bytes: " << argv[2] << ": cannot be written\n";
      return 1;
    }
  } catch (const std::exception &error) {
    std::cerr << "fuzz-board-from-bytes: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
