#include "tests/harness/run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/close_range.h>
#include <sys/syscall.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <set>
#include <stdexcept>

#include "setup/unique_fd.h"
#include "tests/harness/child.h"

extern char** environ;

namespace harness {

namespace {

// Variables that would send the tool's traffic elsewhere or change how
// c-ares reads its files; a test sets them explicitly when it means to.
const char* const kScrubbed[] = {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                 "ALL_PROXY",  "no_proxy",   "NO_PROXY",    "LOCALDOMAIN", "RES_OPTIONS",
                                 "HOSTALIASES"};

void makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  readEnd.reset(fds[0]);
  writeEnd.reset(fds[1]);
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

ChildEnv::ChildEnv(const std::vector<std::pair<std::string, std::string>>& extra,
                   const std::vector<std::string>& unset) {
  std::set<std::string> drop(std::begin(kScrubbed), std::end(kScrubbed));
  drop.insert(unset.begin(), unset.end());
  for (const auto& e : extra) drop.insert(e.first);
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    if (!drop.count(entry.substr(0, entry.find('=')))) entries_.push_back(entry);
  }
  for (const auto& e : extra) entries_.push_back(e.first + "=" + e.second);
  for (auto& e : entries_) ptrs_.push_back(&e[0]);
  ptrs_.push_back(nullptr);
}

ChildArgs::ChildArgs(const std::string& argv0, const std::vector<std::string>& args) {
  entries_.push_back(argv0);
  entries_.insert(entries_.end(), args.begin(), args.end());
  for (auto& e : entries_) ptrs_.push_back(&e[0]);
  ptrs_.push_back(nullptr);
}

void resetChildState() {
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
}

std::string toolPath() { return TAVRIK_SETUP_BIN; }

RunResult runTool(const RunOptions& options) { return runProgram(toolPath(), options); }

RunResult runTool(const std::vector<std::string>& args) {
  RunOptions o;
  o.args = args;
  o.stdinMode = Stdin::kDevNull;
  return runTool(o);
}

RunResult runProgram(const std::string& program, const RunOptions& options) {
  std::signal(SIGPIPE, SIG_IGN);
  RunResult result;
  ChildEnv env(options.env, options.unsetEnv);
  ChildArgs args(options.argv0.empty() ? program : options.argv0, options.args);
  UniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite, execRead, execWrite;
  if (options.stdinMode == Stdin::kText) makePipe(inRead, inWrite);
  makePipe(outRead, outWrite);
  if (!options.combined) makePipe(errRead, errWrite);
  makePipe(execRead, execWrite);
  UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    ::setpgid(0, 0);
    switch (options.stdinMode) {
      case Stdin::kText: ::dup2(inRead.get(), 0); break;
      case Stdin::kDevNull: ::dup2(devNull.get(), 0); break;
      case Stdin::kClosed: ::close(0); break;
      case Stdin::kInherit: break;
    }
    ::dup2(outWrite.get(), 1);
    ::dup2(options.combined ? outWrite.get() : errWrite.get(), 2);
    resetChildState();
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
      int e = errno;
      (void)!::write(execWrite.get(), &e, sizeof e);
      ::_exit(127);
    }
    ::execvpe(program.c_str(), args.argv(), env.envp());
    int e = errno;
    (void)!::write(execWrite.get(), &e, sizeof e);
    ::_exit(127);
  }
  ::setpgid(pid, pid);  // also here, so a kill of the group can't miss it
  inRead.reset();
  outWrite.reset();
  errWrite.reset();
  execWrite.reset();
  devNull.reset();

  if (inWrite) setNonBlocking(inWrite.get());
  std::size_t inputDone = 0;
  if (inWrite && options.input.empty()) inWrite.reset();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.timeoutMs);
  bool killed = false;
  while (outRead || errRead || inWrite) {
    std::vector<pollfd> fds;
    if (outRead) fds.push_back({outRead.get(), POLLIN, 0});
    if (errRead) fds.push_back({errRead.get(), POLLIN, 0});
    if (inWrite) fds.push_back({inWrite.get(), POLLOUT, 0});
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      if (killed) break;  // something outside the group still holds a pipe
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      killed = true;
      result.timedOut = true;
      deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      continue;
    }
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    for (const auto& p : fds) {
      if (!p.revents) continue;
      if (inWrite && p.fd == inWrite.get()) {
        ssize_t w = ::write(p.fd, options.input.data() + inputDone, options.input.size() - inputDone);
        if (w > 0) inputDone += static_cast<std::size_t>(w);
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || inputDone == options.input.size()) inWrite.reset();
        continue;
      }
      char buf[65536];
      ssize_t r = ::read(p.fd, buf, sizeof buf);
      if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      bool isOut = outRead && p.fd == outRead.get();
      if (r <= 0) {
        (isOut ? outRead : errRead).reset();
        continue;
      }
      (isOut ? result.out : result.err).append(buf, static_cast<std::size_t>(r));
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!killed) ::kill(-pid, SIGKILL);  // leftover background children of the group
  int execErr = 0;
  if (::read(execRead.get(), &execErr, sizeof execErr) == static_cast<ssize_t>(sizeof execErr)) {
    result.execFailed = true;
    result.err += std::string("exec failed: ") + std::strerror(execErr) + "\n";
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

std::string shellQuote(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string shell(const std::string& command, int* status) {
  RunOptions o;
  o.args = {"-c", command};
  o.stdinMode = Stdin::kDevNull;
  RunResult r = runProgram("/bin/sh", o);
  if (!r.err.empty()) std::fprintf(stderr, "%s", r.err.c_str());
  if (status) *status = r.signal ? -1 : r.exitCode;
  return r.out;
}

std::string describe(const RunResult& r) {
  std::string s = "exit " + std::to_string(r.exitCode);
  if (r.signal) s += ", signal " + std::to_string(r.signal);
  if (r.timedOut) s += ", timed out";
  if (r.execFailed) s += ", exec failed";
  s += "\n--- stdout ---\n" + r.out + "\n--- stderr ---\n" + r.err;
  return s;
}

}  // namespace harness
