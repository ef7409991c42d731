#include "tests/harness/file_shim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/harness/fixtures.h"
#include "tests/harness/servers.h"

namespace harness {

RunOptions fileShimOptions(std::vector<std::string> args, const std::string& input, EnvList env) {
  RunOptions options;
  options.args = std::move(args);
  options.input = input;
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env.push_back({"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
  options.env.push_back({"LD_PRELOAD", std::string(TAVRIK_NO_PAUSE_LIB) + ":" + TAVRIK_FILE_OPS_LIB});
  for (auto& e : env) options.env.push_back(std::move(e));
  return options;
}

EnvList shimEnv(const std::string& under, EnvList more) {
  more.push_back({"TAVRIK_OPS_UNDER", under});
  return more;
}

void layManagerFiles(Sandbox& box) {
  installProduct(box, Install::kManager);
  box.bindFile("/usr/bin/netstat", "#!/bin/sh\necho 'Active Internet connections (servers and established)'\n", 0755);
  box.bindFile("/proc/meminfo", "MemTotal:        4096000 kB\n");
}

void layAgentFiles(Sandbox& box, const std::string& host) {
  installProduct(box, Install::kFullAgent);
  for (const char* f : {"/etc/redhat-release", "/etc/debian_version", "/etc/arch-release", "/etc/SuSE-release"})
    box.remove(f);
  useLoopbackNames(box, {host});
}

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  std::string out = shell("ls -A " + shellQuote(dir));
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    names.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  std::sort(names.begin(), names.end());
  return names;
}

ShimChannel::ShimChannel(Sandbox& box, const std::string& dir) : dir_(dir) {
  box.makeDirs(dir_);
  for (const char* name : {"reached", "go", "busy"}) {
    if (::mkfifo((dir_ + "/" + name).c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
  }
  // Open before any tool starts: its writes never wait for the test.
  reached_.reset(::open((dir_ + "/reached").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  busy_.reset(::open((dir_ + "/busy").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!reached_ || !busy_) throw std::runtime_error("open FIFO");
}

namespace {

std::string awaitData(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (data.empty() || data.back() != '\n') {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[64];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (data == "b") return data;  // the lock's one byte
  }
  return data;
}

}  // namespace

pid_t ShimChannel::awaitPause() {
  std::string line = awaitData(reached_.get());
  return line.empty() ? 0 : static_cast<pid_t>(std::stol(line));
}

bool ShimChannel::awaitBusy() { return !awaitData(busy_.get()).empty(); }

bool ShimChannel::release() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    // No reader yet (ENXIO): the tool is on its way to open it.
    int fd = ::open((dir_ + "/go").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace harness
