// SPDX-License-Identifier: BSD-2-Clause-Patent
#include "Explore/Isolation.h"

#include <fmt/format.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sim::explore {

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
  size_t index;
  pid_t pid;
  int result; // read end of the result pipe, -1 once at end of file
  int errors; // read end of the child's standard error, -1 once at end of file
  Clock::time_point deadline;
  std::string resultBytes, errorBytes;
};

void writeAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    done += static_cast<size_t>(n);
  }
}

// Runs in the child: never returns.
[[noreturn]] void childMain(const std::function<std::string(size_t)> &work, size_t index, int resultFd,
                            int errorFd) {
  dup2(errorFd, STDERR_FILENO);
  close(errorFd);
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  std::string result;
  try {
    result = work(index);
  } catch (const std::exception &error) {
    std::fprintf(stderr, "exception: %s\n", error.what());
    std::fflush(stderr);
    _exit(70);
  }
  writeAll(resultFd, result);
  close(resultFd);
  std::fflush(stderr);
  // No destructors or exit handlers: they belong to the parent's state.
  _exit(0);
}

bool sanitizerReport(const std::string &errors) {
  return errors.find("AddressSanitizer") != std::string::npos ||
         errors.find("LeakSanitizer") != std::string::npos ||
         errors.find("UndefinedBehaviorSanitizer") != std::string::npos ||
         errors.find("runtime error:") != std::string::npos;
}

std::string firstLines(const std::string &text, size_t lines) {
  size_t end = 0;
  for (size_t i = 0; i < lines && end != std::string::npos; i++) {
    end = text.find('\n', end == 0 ? 0 : end + 1);
  }
  std::string out = text.substr(0, end);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
    out.pop_back();
  }
  return out;
}

// The line of a sanitizer report that says what it found.
std::string sanitizerSummary(const std::string &errors) {
  for (std::string_view key : {"SUMMARY:", "runtime error:", "ERROR:"}) {
    size_t at = errors.find(key);
    if (at != std::string::npos) {
      size_t start = errors.rfind('\n', at);
      start = start == std::string::npos ? 0 : start + 1;
      size_t end = errors.find('\n', at);
      return errors.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
  }
  return firstLines(errors, 1);
}

IsolatedResult finish(Child &child, bool timedOut) {
  int status = 0;
  if (timedOut) {
    kill(child.pid, SIGKILL);
  }
  while (waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  IsolatedResult result;
  if (timedOut) {
    result.kind = IsolatedResult::Kind::Hang;
    result.detail = "no result within the time limit; the boot was stopped";
    return result;
  }
  if (sanitizerReport(child.errorBytes)) {
    result.kind = IsolatedResult::Kind::Sanitizer;
    result.detail = sanitizerSummary(child.errorBytes);
    return result;
  }
  if (WIFSIGNALED(status)) {
    result.kind = IsolatedResult::Kind::Crash;
    result.detail = fmt::format("killed by signal {} ({})", WTERMSIG(status), strsignal(WTERMSIG(status)));
    if (!child.errorBytes.empty()) {
      result.detail += ": " + firstLines(child.errorBytes, 1);
    }
    return result;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || child.resultBytes.empty()) {
    result.kind = IsolatedResult::Kind::Crash;
    result.detail =
        fmt::format("exited with status {} without a result", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    if (!child.errorBytes.empty()) {
      result.detail += ": " + firstLines(child.errorBytes, 1);
    }
    return result;
  }
  result.result = std::move(child.resultBytes);
  return result;
}

// Reads what is there; returns false at end of file.
bool drain(int fd, std::string &into) {
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      into.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      return true;
    }
    return false;
  }
}

} // namespace

const char *kindName(IsolatedResult::Kind kind) {
  switch (kind) {
  case IsolatedResult::Kind::Ok:
    return "ok";
  case IsolatedResult::Kind::Crash:
    return "crash";
  case IsolatedResult::Kind::Sanitizer:
    return "sanitizer";
  case IsolatedResult::Kind::Hang:
    return "hang";
  }
  return "?";
}

void runIsolated(size_t count, const std::function<std::string(size_t)> &work,
                 const std::function<void(size_t, IsolatedResult)> &done, unsigned jobs,
                 std::chrono::milliseconds limit) {
  jobs = std::max(1u, jobs);
  std::vector<Child> running;
  size_t next = 0;
  std::fflush(stdout);
  std::fflush(stderr);
  while (next < count || !running.empty()) {
    while (next < count && running.size() < jobs) {
      int resultPipe[2], errorPipe[2];
      if (pipe2(resultPipe, O_CLOEXEC) != 0 || pipe2(errorPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error(fmt::format("cannot create a pipe: {}", std::strerror(errno)));
      }
      pid_t pid = fork();
      if (pid < 0) {
        throw std::runtime_error(fmt::format("cannot fork: {}", std::strerror(errno)));
      }
      if (pid == 0) {
        close(resultPipe[0]);
        close(errorPipe[0]);
        for (const Child &other : running) {
          close(other.result);
          close(other.errors);
        }
        childMain(work, next, resultPipe[1], errorPipe[1]);
      }
      close(resultPipe[1]);
      close(errorPipe[1]);
      fcntl(resultPipe[0], F_SETFL, O_NONBLOCK);
      fcntl(errorPipe[0], F_SETFL, O_NONBLOCK);
      running.push_back(Child{next, pid, resultPipe[0], errorPipe[0], Clock::now() + limit, {}, {}});
      next++;
    }

    std::vector<pollfd> fds;
    for (const Child &child : running) {
      fds.push_back(pollfd{child.result, POLLIN, 0});
      fds.push_back(pollfd{child.errors, POLLIN, 0});
    }
    auto now = Clock::now();
    auto soonest = running.front().deadline;
    for (const Child &child : running) {
      soonest = std::min(soonest, child.deadline);
    }
    int wait = static_cast<int>(
        std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(soonest - now).count()) +
        1);
    poll(fds.data(), fds.size(), wait);

    now = Clock::now();
    for (size_t i = 0; i < running.size();) {
      Child &child = running[i];
      if (child.result >= 0 && !drain(child.result, child.resultBytes)) {
        close(child.result);
        child.result = -1;
      }
      if (child.errors >= 0 && !drain(child.errors, child.errorBytes)) {
        close(child.errors);
        child.errors = -1;
      }
      bool ended = child.result < 0 && child.errors < 0;
      bool timedOut = !ended && now >= child.deadline;
      if (!ended && !timedOut) {
        i++;
        continue;
      }
      if (child.result >= 0) {
        close(child.result);
      }
      if (child.errors >= 0) {
        close(child.errors);
      }
      IsolatedResult result = finish(child, timedOut);
      size_t index = child.index;
      running.erase(running.begin() + static_cast<std::ptrdiff_t>(i));
      done(index, std::move(result));
    }
  }
}

} // namespace sim::explore
