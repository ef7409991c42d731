// Console password entry on a real pseudo-terminal: what the screen shows,
// what is stored, and that the terminal is always left as it was found.
#include "setup/password.h"

#include "tests/harness/child.h"
#include "tests/harness/pty.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Runs a body in a child whose standard streams are the slave side of a new
// pseudo-terminal, which is also its controlling terminal. The parent keeps
// the slave open so the terminal's settings can be read after the child ends.
class PtyChild {
 public:
  explicit PtyChild(const std::function<void()>& body) {
    struct termios settings {};
    EXPECT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    // No output processing, so "\n" arrives as written.
    ::tcgetattr(slave_, &settings);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    ::tcsetattr(slave_, TCSANOW, &settings);
    initial_ = sttyG();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      ::ioctl(slave_, TIOCSCTTY, 0);
      ::dup2(slave_, 0);
      ::dup2(slave_, 1);
      ::dup2(slave_, 2);
      ::close(master_);
      // As a shell starts a foreground job; a test run in the background
      // would otherwise pass SIGINT and SIGQUIT on ignored.
      harness::resetChildState();
      // A signal that dumps core leaves no file behind.
      struct rlimit noCore {0, 0};
      ::setrlimit(RLIMIT_CORE, &noCore);
      body();
      std::fflush(stdout);
      ::_exit(0);
    }
  }
  ~PtyChild() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(master_);
    ::close(slave_);
  }

  // The terminal settings as "stty -g" prints them.
  std::string sttyG() const {
    std::string command = "stty -g < " + std::string(::ttyname(slave_));
    std::FILE* p = ::popen(command.c_str(), "r");
    std::string out;
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) out += buf;
    if (p) ::pclose(p);
    return out;
  }

  // True once the child sleeps in its read with canonical mode and echo
  // off and nothing left unread: keys sent now are not echoed by the
  // terminal, whatever the child does with them.
  // The limits are generous: only a broken child ever reaches them, and a
  // loaded machine may leave the child unscheduled for seconds.
  bool waitForKeyRead() {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    int stable = 0;
    while (Clock::now() < deadline) {
      drain(0);
      struct termios t;
      int unread = 0;
      ::tcgetattr(slave_, &t);
      ::ioctl(slave_, FIONREAD, &unread);
      bool raw = !(t.c_lflag & ICANON) && !(t.c_lflag & ECHO);
      if (raw && unread == 0 && processState() == 'S') {
        if (++stable >= 3) return true;
      } else {
        stable = 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  void send(const std::string& keys) { EXPECT_EQ(::write(master_, keys.data(), keys.size()), (ssize_t)keys.size()); }

  // Waits for the child, then collects everything it wrote.
  int finish() {
    int status = 0;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      drain(10);
      if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        ADD_FAILURE() << "child did not end";
        break;
      }
    }
    reaped_ = true;
    drain(0);
    return status;
  }

  const std::string& output() const { return output_; }
  // The settings before the child started.
  const std::string& initial() const { return initial_; }
  pid_t pid() const { return pid_; }

 private:
  char processState() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
  }
  void drain(int timeoutMs) {
    struct pollfd p {master_, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN)) {
      char buf[4096];
      ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      output_.append(buf, static_cast<std::size_t>(n));
      timeoutMs = 0;
    }
  }

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string output_;
  std::string initial_;
};

void promptAndShow() {
  std::optional<std::string> entry = readPassword("Password: ");
  std::printf("[%s]\n", entry ? entry->c_str() : "(none)");
}

struct EntryCase {
  const char* name;
  std::string keys;
  std::string screen;  // after the prompt
  std::string stored;
  bool dropped;  // a key other than a letter or digit was left out
};

}  // namespace

TEST(ReadPassword, EntriesOnATerminal) {
  const EntryCase cases[] = {
      {"letters and digits", "aB3\n", "***\n", "aB3", false},
      {"erase", "ab1\bZ\r", "***\b \b*\n", "abZ", false},
      {"backspace first does nothing", "\b\bq\n", "*\n", "q", false},
      {"delete first does nothing", "\x7fq\n", "*\n", "q", false},
      {"erase keys once all is erased", "a\b\b\x7fq\n", "*\b \b*\n", "q", false},
      {"blanks and punctuation dropped", " a-b.c!\n", "***\n", "abc", true},
      {"delete key is not erase", "ab\x7f\n", "**\n", "ab", true},
      {"nothing stored", " .,;\t\n", "\n", "(none)", true},
      {"byte 0xFF is a key, not end of input", "x\xffy\n", "**\n", "xy", true},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child([] {
      bool dropped = false;
      std::optional<std::string> entry = readPassword("Password: ", &dropped);
      std::printf("[%s]%s\n", entry ? entry->c_str() : "(none)", dropped ? " dropped" : "");
    });
    const std::string& before = child.initial();
    ASSERT_TRUE(child.waitForKeyRead());
    // While a key is awaited the terminal neither echoes nor waits for a line.
    EXPECT_NE(child.sttyG(), before);
    child.send(c.keys);
    int status = child.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(child.output(), "Password: " + c.screen + "[" + c.stored + "]" + (c.dropped ? " dropped" : "") + "\n");
    EXPECT_EQ(child.sttyG(), before);
  }
}

TEST(ReadPassword, EntryEndsAfterTheLongestPassword) {
  PtyChild child([] {
    std::optional<std::string> entry = readPassword("");
    std::optional<std::string> next = readPassword("");
    std::printf("[%zu %s]\n", entry ? entry->size() : 0, next ? next->c_str() : "(none)");
  });
  ASSERT_TRUE(child.waitForKeyRead());
  // 8191 stored, the next key ends the entry unstored, then the second
  // entry reads what follows.
  // Sent in pieces smaller than the terminal's input buffer, each once the
  // previous one was read.
  std::string keys = std::string(kPasswordBufferSize - 1, 'p') + "Xnext\n";
  for (std::size_t at = 0; at < keys.size(); at += 1024) {
    ASSERT_TRUE(child.waitForKeyRead());
    child.send(keys.substr(at, 1024));
  }
  child.finish();
  EXPECT_EQ(child.output(), std::string(kPasswordBufferSize - 1, '*') + "\n****\n[8191 next]\n");
}

// Every signal whose default action ends the process: the terminal is put
// back first, then the signal ends the process as it would have.
TEST(ReadPassword, SignalWhileWaitingRestoresTheTerminalThenActs) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF, SIGXCPU,
                  SIGPOLL, SIGRTMIN, SIGRTMAX}) {
    SCOPED_TRACE(sig);
    PtyChild child(promptAndShow);
    const std::string& before = child.initial();
    ASSERT_TRUE(child.waitForKeyRead());
    ASSERT_NE(child.sttyG(), before);
    if (sig == SIGINT)
      child.send("a\x03");  // the terminal's own interrupt key
    else
      ::kill(child.pid(), sig);
    int status = child.finish();
    EXPECT_TRUE(WIFSIGNALED(status));
    if (WIFSIGNALED(status)) {
      EXPECT_EQ(WTERMSIG(status), sig);
    }
    EXPECT_EQ(child.sttyG(), before);
  }
}

TEST(ReadPassword, IgnoredSignalStaysIgnored) {
  PtyChild child([] {
    ::signal(SIGTERM, SIG_IGN);
    promptAndShow();
    struct sigaction now {};
    ::sigaction(SIGTERM, nullptr, &now);
    std::printf("%s\n", now.sa_handler == SIG_IGN ? "ignored" : "changed");
  });
  ASSERT_TRUE(child.waitForKeyRead());
  ::kill(child.pid(), SIGTERM);
  ASSERT_TRUE(child.waitForKeyRead());
  child.send("k\n");
  int status = child.finish();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(child.output(), "Password: *\n[k]\nignored\n");
}

TEST(ReadPassword, InputFromAPipe) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const char input[] = "ab 12\nrest";
  ASSERT_EQ(::write(fds[1], input, sizeof input - 1), (ssize_t)(sizeof input - 1));
  ::close(fds[1]);
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[0], 0);
    ::dup2(out[1], 1);
    promptAndShow();
    std::optional<std::string> second = readPassword("  Verify: ");
    std::printf("[%s]\n", second ? second->c_str() : "(none)");
    std::fflush(stdout);
    ::_exit(0);
  }
  ::close(fds[0]);
  ::close(out[1]);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = ::read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_EQ(text, "Password: ****\n[ab12]\n  Verify: ****\n[rest]\n");
}

// The real binary at its two prompts on a terminal.
namespace {
// Waits until the tool has switched the terminal off canonical mode and
// echo for a key, so keys sent now are not echoed by the terminal itself.
bool waitForRawKeyRead(harness::Pty& pty) {
  for (int i = 0; i < 2500; ++i) {
    struct termios t = pty.attributes();
    if (!(t.c_lflag & ICANON) && !(t.c_lflag & ECHO)) return true;
    pty.readFor(2);
  }
  return false;
}

// From an interactive shell on the terminal, the tool at its password
// prompt with two keys typed, then stopped by the terminal's suspend key
// while it awaits the next one (not between two).
void promptThenSuspend(harness::Pty& pty, const char* shell, const std::vector<std::string>& args) {
  pty.start(shell, args, {{"PS1", "$ "}, {"ENV", ""}, {"HISTFILE", "/dev/null"}, {"TERM", "dumb"}});
  ASSERT_TRUE(pty.waitFor("$ ")) << pty.output();
  pty.send(harness::toolPath() + " --dev-test-paths /tmp/work --user admin\n");
  ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
  ASSERT_TRUE(waitForRawKeyRead(pty));
  pty.send("Q7");
  ASSERT_TRUE(pty.waitFor("Password: **")) << pty.output();
  ASSERT_TRUE(waitForRawKeyRead(pty));
  pty.send("\x1a");
  ASSERT_TRUE(pty.waitFor("Stopped")) << pty.output();
}
}  // namespace

TEST(ToolPrompt, MismatchOnATerminalLeavesItAsFound) {
  harness::Sandbox box;
  harness::Pty pty;
  const std::string before = pty.sttyG();
  pty.startTool({"--dev-test-paths", "/tmp/work", "--user", "admin"});
  ASSERT_TRUE(pty.waitFor("Password: "));
  ASSERT_TRUE(waitForRawKeyRead(pty));
  pty.send("ab\b1\n");
  ASSERT_TRUE(pty.waitFor("  Verify: "));
  ASSERT_TRUE(waitForRawKeyRead(pty));
  pty.send("a2\n");
  harness::PtyExit exit = pty.wait();
  EXPECT_TRUE(exit.exited(1));
  EXPECT_EQ(pty.output(), "Password: **\b \b*\r\n  Verify: **\r\nPasswords do not match\r\n");
  EXPECT_EQ(pty.sttyG(), before);
}

TEST(ToolPrompt, InterruptAtTheSecondPromptRestoresTheTerminal) {
  harness::Sandbox box;
  harness::Pty pty;
  const std::string before = pty.sttyG();
  pty.startTool({"--dev-test-paths", "/tmp/work", "--user", "admin"});
  ASSERT_TRUE(pty.waitFor("Password: "));
  ASSERT_TRUE(waitForRawKeyRead(pty));
  pty.send("pw\n");
  ASSERT_TRUE(pty.waitFor("  Verify: "));
  ASSERT_TRUE(waitForRawKeyRead(pty));
  ASSERT_NE(pty.sttyG(), before);
  pty.send("\x03");  // the terminal's own interrupt key
  harness::PtyExit exit = pty.wait();
  EXPECT_EQ(exit.signal, SIGINT);
  EXPECT_EQ(pty.output(), "Password: **\r\n  Verify: ");
  EXPECT_EQ(pty.sttyG(), before);
}

// Keys other than letters and digits cannot be part of a typed password:
// the entry is refused at Enter, before anything is written, so that no
// password is stored other than the one typed. An entry that stored
// nothing is no password at all.
TEST(ToolPrompt, DroppedKeysRefuseTheEntry) {
  const std::string refused =
      "The password may hold only letters and digits here; use --pass to set another one\r\n";
  const struct {
    const char* name;
    std::string first;
    std::string second;  // empty: refused at the first prompt
    std::string screen;
  } cases[] = {
      {"punctuation and a blank", "p@ss 1\r", "", "Password: ****\r\n" + refused},
      {"delete key", "ab\x7f\r", "", "Password: **\r\n" + refused},
      {"only blanks", "  \r", "", "Password: \r\nYou must enter a password\r\n"},
      {"at the second prompt", "pass1\r", "pass1!\r", "Password: *****\r\n  Verify: *****\r\n" + refused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    harness::Sandbox box;
    box.makeDirs("/tmp/work/conf");
    harness::Pty pty;
    pty.startTool({"--dev-test-paths", "/tmp/work", "--user", "admin"});
    ASSERT_TRUE(pty.waitFor("Password: "));
    ASSERT_TRUE(waitForRawKeyRead(pty));
    pty.send(c.first);
    if (!c.second.empty()) {
      ASSERT_TRUE(pty.waitFor("  Verify: "));
      ASSERT_TRUE(waitForRawKeyRead(pty));
      pty.send(c.second);
    }
    harness::PtyExit exit = pty.wait();
    EXPECT_TRUE(exit.exited(1));
    EXPECT_EQ(pty.output(), c.screen);
    EXPECT_EQ(harness::shell("ls -A /tmp/work/conf"), "");
  }
}

// Ctrl-Z at the prompt under a job-control shell: the shell gets the
// terminal back canonical and echoing; after fg the entry goes on without
// echo, whatever settings the shell left in place meanwhile. Sent to the
// background first, the job stops again at its read (tty input), still
// leaving the terminal to the shell as it was, and fg resumes that read.
TEST(ToolPrompt, StoppedAndContinuedByTheShell) {
  const struct {
    const char* shell;
    std::vector<std::string> args;
  } shells[] = {
      {"/bin/dash", {"-i"}},  // leaves the terminal as the job left it
      {"/bin/bash", {"--norc", "--noprofile", "--noediting", "-i"}},  // puts its own settings back
  };
  for (const auto& s : shells) {
    for (bool background : {false, true}) {
      SCOPED_TRACE(std::string(s.shell) + (background ? ", bg then fg" : ", fg"));
      harness::Sandbox box;
      box.makeDirs("/tmp/work/conf");
      harness::Pty pty;
      promptThenSuspend(pty, s.shell, s.args);
      if (HasFatalFailure()) return;
      struct termios stopped = pty.attributes();
      EXPECT_TRUE((stopped.c_lflag & ICANON) && (stopped.c_lflag & ECHO)) << "no echo left behind by the stopped job";
      if (background) {
        // Running once bg has continued it, then stopped at its read: the
        // shell says "Stopped" (dash adds "(tty input)") when asked again.
        std::size_t continuedAt = pty.output().size();
        pty.send("bg\n");
        auto stoppedAgain = [&] { return pty.output().find("Stopped", continuedAt) != std::string::npos; };
        for (int i = 0; i < 100 && !stoppedAgain(); ++i) {
          pty.send("jobs\n");
          pty.readFor(300);
        }
        ASSERT_TRUE(stoppedAgain()) << pty.output();
        struct termios again = pty.attributes();
        EXPECT_TRUE((again.c_lflag & ICANON) && (again.c_lflag & ECHO)) << "no echo left behind in the background";
      }
      std::size_t resumedAt = pty.output().size();
      pty.send("fg\n");
      ASSERT_TRUE(waitForRawKeyRead(pty)) << pty.output();
      pty.send("Z9\r");
      ASSERT_TRUE(pty.waitFor("  Verify: ")) << pty.output();
      ASSERT_TRUE(waitForRawKeyRead(pty));
      pty.send("Q7Z9\r");
      ASSERT_TRUE(pty.waitFor("Server username and password set")) << pty.output();
      ASSERT_TRUE(pty.waitFor("$ ", 5000));
      pty.send("exit\n");
      harness::PtyExit exit = pty.wait();
      EXPECT_TRUE(exit.exited(0)) << pty.output();
      std::string resumed = pty.output().substr(resumedAt);
      EXPECT_EQ(resumed.find("Z9"), std::string::npos) << "typed in clear after fg: " << resumed;
      EXPECT_NE(resumed.find("**\r\n  Verify: ****\r\n"), std::string::npos) << resumed;
      EXPECT_EQ(harness::shell("cat /tmp/work/conf/adminreset.properties"), "admin.user=admin\nadmin.pass=Q7Z9\n");
    }
  }
}

// Keys that come quickly one after another, as from a fast serial console
// or a paste, one byte per write: none is ever echoed by the terminal,
// only the "*" of each appears, at both prompts.
TEST(ToolPrompt, KeysInQuickSuccessionAreNeverEchoed) {
  using Clock = std::chrono::steady_clock;
  std::string keys;
  for (int i = 0; i < 1500; ++i) keys += static_cast<char>('a' + i % 26);
  for (int gapUs : {10, 87}) {
    SCOPED_TRACE(std::to_string(gapUs) + " us apart");
    harness::Sandbox box;
    box.makeDirs("/tmp/work/conf");
    harness::Pty pty;
    pty.startTool({"--dev-test-paths", "/tmp/work", "--user", "admin"});
    auto type = [&] {
      // At least the gap between two writes; a busy machine only makes it
      // longer.
      for (char key : keys) {
        pty.send(std::string(1, key));
        auto next = Clock::now() + std::chrono::microseconds(gapUs);
        while (Clock::now() < next) {
        }
      }
      pty.send("\r");
    };
    ASSERT_TRUE(pty.waitFor("Password: "));
    ASSERT_TRUE(waitForRawKeyRead(pty));
    type();
    ASSERT_TRUE(pty.waitFor("  Verify: ", 30000)) << pty.output();
    ASSERT_TRUE(waitForRawKeyRead(pty));
    type();
    harness::PtyExit exit = pty.wait(30000);
    EXPECT_TRUE(exit.exited(0)) << pty.output();
    const std::string stars(keys.size(), '*');
    EXPECT_EQ(0u, pty.output().find("Password: " + stars + "\r\n  Verify: " + stars + "\r\n")) << pty.output();
    EXPECT_EQ(harness::shell("cat /tmp/work/conf/adminreset.properties"),
              "admin.user=admin\nadmin.pass=" + keys + "\n");
  }
}

// A termination signal sent by the shell to the stopped job (Ctrl-Z at the
// prompt) ends it once it runs again, as it would end any program: bash's
// kill continues the job itself, dash's does not and bg does. The job runs
// in the background then, where the terminal is the shell's: it is left
// as the stop left it, canonical and echoing.
TEST(ToolPrompt, KilledWhileStoppedByTheShell) {
  const struct {
    const char* shell;
    std::vector<std::string> args;
    std::vector<std::string> commands;
    const char* ended;  // what the shell says of the job
  } cases[] = {
      {"/bin/bash", {"--norc", "--noprofile", "--noediting", "-i"}, {"kill %1"}, "Terminated"},
      {"/bin/bash", {"--norc", "--noprofile", "--noediting", "-i"}, {"kill -HUP %1"}, "Hangup"},
      {"/bin/dash", {"-i"}, {"kill %1", "bg"}, "Terminated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.shell) + ": " + c.commands.front());
    harness::Sandbox box;
    box.makeDirs("/tmp/work/conf");
    harness::Pty pty;
    promptThenSuspend(pty, c.shell, c.args);
    if (HasFatalFailure()) return;
    std::size_t killedAt = pty.output().size();
    for (const std::string& command : c.commands) {
      ASSERT_TRUE(pty.waitFor("$ ", 5000));
      pty.send(command + "\n");
    }
    // The shell reports the job's end with its next prompt, or when asked.
    auto ended = [&] { return pty.output().find(c.ended, killedAt) != std::string::npos; };
    for (int i = 0; i < 100 && !ended(); ++i) {
      pty.send("jobs\n");
      pty.readFor(300);
    }
    ASSERT_TRUE(ended()) << pty.output().substr(killedAt);
    EXPECT_EQ(pty.output().find("tty output", killedAt), std::string::npos) << pty.output().substr(killedAt);
    struct termios after = pty.attributes();
    EXPECT_TRUE((after.c_lflag & ICANON) && (after.c_lflag & ECHO)) << "no echo left behind";
    pty.send("exit\n");
    harness::PtyExit exit = pty.wait();
    EXPECT_TRUE(exit.exited(0)) << pty.output();
    EXPECT_EQ(harness::shell("ls -A /tmp/work/conf"), "");
  }
}
