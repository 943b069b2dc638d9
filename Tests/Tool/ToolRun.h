// SPDX-License-Identifier: BSD-2-Clause-Patent
// Runs dxesim as a user would, capturing what it prints and its exit status.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

struct ToolRun {
  int exitCode;
  std::string output; // stdout and stderr
};

// stderr: " 2>&1" to capture it with the output, " 2>/dev/null" to leave it out.
// A test binary run in shards must not make every dxesim it starts a
// shard: the runner's variables are dropped, `environment` ("NAME=VALUE")
// set.
inline ToolRun dxesim(const std::string &arguments, const char *stderrGoes = " 2>&1",
                      const std::string &environment = "") {
  std::string command = "env -u GTEST_SHARD_INDEX -u GTEST_TOTAL_SHARDS " + environment + " " +
                        std::string(KESH_IMAGE_DIR) + "/dxesim " + arguments + stderrGoes;
  FILE *pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  ToolRun run{-1, ""};
  if (pipe == nullptr) {
    return run;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    run.output.append(buffer, n);
  }
  int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
