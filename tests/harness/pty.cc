#include "tests/harness/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/harness/child.h"
#include "tests/harness/deadline.h"
#include "tests/harness/run.h"

namespace harness {

Pty::Pty(int rows, int cols) {
  struct winsize ws;
  std::memset(&ws, 0, sizeof ws);
  ws.ws_row = static_cast<unsigned short>(rows);
  ws.ws_col = static_cast<unsigned short>(cols);
  int m = -1, s = -1;
  char name[PATH_MAX];
  if (::openpty(&m, &s, name, nullptr, &ws) != 0)
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  master_.reset(m);
  slave_.reset(s);
  slaveName_ = name;
  ::fcntl(m, F_SETFD, FD_CLOEXEC);
  ::fcntl(s, F_SETFD, FD_CLOEXEC);
  ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
  if (pid_ > 0) {
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

void Pty::start(const std::string& program, const std::vector<std::string>& args,
                const std::vector<std::pair<std::string, std::string>>& env) {
  if (pid_ > 0) throw std::runtime_error("pty: a child is already running");
  ChildEnv childEnv(env, {});
  ChildArgs childArgs(program, args);
  int slave = slave_.get();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    ::setsid();
    ::ioctl(slave, TIOCSCTTY, 0);
    ::dup2(slave, 0);
    ::dup2(slave, 1);
    ::dup2(slave, 2);
    resetChildState();
    ::execvpe(program.c_str(), childArgs.argv(), childEnv.envp());
    static const char msg[] = "exec failed\n";
    (void)!::write(2, msg, sizeof msg - 1);
    ::_exit(127);
  }
  pid_ = pid;
}

void Pty::startTool(const std::vector<std::string>& args,
                    const std::vector<std::pair<std::string, std::string>>& env) {
  start(toolPath(), args, env);
}

void Pty::send(const std::string& bytes) {
  std::size_t done = 0;
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (done < bytes.size()) {
    ssize_t n = ::write(master_.get(), bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) throw std::runtime_error("pty: write failed");
    if (Clock::now() > deadline) throw std::runtime_error("pty: the child reads no input");
    readSome(10);  // a full input queue drains only if the child can print
  }
}

bool Pty::readSome(int timeoutMs) {
  if (!master_) {  // hung up: nothing more arrives
    if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return false;
  }
  pollfd p{master_.get(), POLLIN, 0};
  int n = ::poll(&p, 1, timeoutMs);
  if (n <= 0) return false;
  bool got = false;
  char buf[4096];
  ssize_t r;
  while ((r = ::read(master_.get(), buf, sizeof buf)) > 0) {
    output_.append(buf, static_cast<std::size_t>(r));
    got = true;
  }
  return got;
}

bool Pty::waitFor(const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (output_.find(text) == std::string::npos) {
    int left = msLeft(deadline);
    if (left == 0) return false;
    readSome(left < 50 ? left : 50);
  }
  return true;
}

std::string Pty::readFor(int ms) {
  std::size_t before = output_.size();
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  int left;
  while ((left = msLeft(deadline)) > 0) readSome(left);
  return output_.substr(before);
}

void Pty::setWindowSize(int rows, int cols) {
  struct winsize ws;
  std::memset(&ws, 0, sizeof ws);
  ws.ws_row = static_cast<unsigned short>(rows);
  ws.ws_col = static_cast<unsigned short>(cols);
  if (::ioctl(master_.get(), TIOCSWINSZ, &ws) != 0) throw std::runtime_error("pty: TIOCSWINSZ failed");
}

void Pty::signal(int sig) {
  if (pid_ > 0) ::kill(-pid_, sig);
}

void Pty::hangUp() { master_.reset(); }

PtyExit Pty::wait(int timeoutMs) {
  PtyExit result;
  if (pid_ <= 0) return result;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (r < 0 && errno != EINTR) break;
    if (msLeft(deadline) == 0 && !result.timedOut) {
      result.timedOut = true;
      ::kill(-pid_, SIGKILL);
      ::kill(pid_, SIGKILL);
    }
    readSome(10);  // keep the child from blocking on a full terminal
  }
  while (readSome(0)) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

struct termios Pty::attributes() const {
  struct termios t;
  if (::tcgetattr(slave_.get(), &t) != 0) throw std::runtime_error("pty: tcgetattr failed");
  return t;
}

std::string Pty::sttyG() const { return formatSttyG(attributes()); }

std::string formatSttyG(const struct termios& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lx:%lx:%lx:%lx", static_cast<unsigned long>(t.c_iflag),
                static_cast<unsigned long>(t.c_oflag), static_cast<unsigned long>(t.c_cflag),
                static_cast<unsigned long>(t.c_lflag));
  std::string out = buf;
  for (int i = 0; i < NCCS; ++i) {
    std::snprintf(buf, sizeof buf, ":%lx", static_cast<unsigned long>(t.c_cc[i]));
    out += buf;
  }
  return out;
}

}  // namespace harness
