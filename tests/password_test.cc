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
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// How the child's terminal is set up: its settings before the child starts
// (beyond no output processing), and whether it is the child's controlling
// terminal or only its standard streams (a new session without one).
struct TerminalSetUp {
  std::function<void(struct termios&)> adjust;
  bool controlling = true;
};

// Runs a body in a child whose standard streams are the slave side of a new
// pseudo-terminal, which is also its controlling terminal unless the set-up
// says otherwise. The parent keeps the slave open so the terminal's settings
// can be read after the child ends.
class PtyChild {
 public:
  explicit PtyChild(const std::function<void()>& body, const TerminalSetUp& setUp = {}) {
    struct termios settings {};
    EXPECT_EQ(::openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
    // No output processing, so "\n" arrives as written.
    ::tcgetattr(slave_, &settings);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (setUp.adjust) setUp.adjust(settings);
    ::tcsetattr(slave_, TCSANOW, &settings);
    initial_ = sttyG();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      if (setUp.controlling) ::ioctl(slave_, TIOCSCTTY, 0);
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
    if (master_ >= 0) ::close(master_);
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
  // terminal, whatever the child does with them, and keys sent before have
  // all been taken.
  // The limits are generous: only a broken child ever reaches them, and a
  // loaded machine may leave the child unscheduled for seconds.
  bool waitForKeyRead() {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    int stable = 0;
    while (Clock::now() < deadline) {
      drain(0);
      struct termios t;
      ::tcgetattr(slave_, &t);
      bool raw = !(t.c_lflag & ICANON) && !(t.c_lflag & ECHO);
      if (raw && !inputWaiting() && processState() == 'S') {
        if (++stable >= 3) return true;
      } else {
        stable = 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

  void send(const std::string& keys) { EXPECT_EQ(::write(master_, keys.data(), keys.size()), (ssize_t)keys.size()); }
  // Closes the terminal, as closing its window does; nothing more is read.
  void hangUp() {
    drain(0);
    ::close(master_);
    master_ = -1;
  }

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
  // Keys written to the master reach the line discipline a little later,
  // from a kernel worker; until then a count of the bytes in the input
  // queue leaves them out. A poll of the slave waits for that hand-over
  // first, so a key still on its way counts as waiting.
  bool inputWaiting() const {
    struct pollfd p {slave_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
  }
  char processState() const {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
  }
  void drain(int timeoutMs) {
    if (master_ < 0) {
      if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
      return;
    }
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
  std::function<void(struct termios&)> adjust = nullptr;  // the terminal's settings before the child starts
};

}  // namespace

// The terminal's erase key may send backspace or delete, or be a character
// of its own; each erases. Its end-of-input key ends the entry as Enter does.
TEST(ReadPassword, EntriesOnATerminal) {
  auto eraseAndEnd = [](cc_t erase, cc_t end) {
    return [erase, end](struct termios& t) {
      t.c_cc[VERASE] = erase;
      t.c_cc[VEOF] = end;
    };
  };
  const EntryCase cases[] = {
      {"letters and digits", "aB3\n", "***\n", "aB3", false},
      {"erase", "ab1\bZ\r", "***\b \b*\n", "abZ", false},
      {"backspace first does nothing", "\b\bq\n", "*\n", "q", false},
      {"delete first does nothing", "\x7fq\n", "*\n", "q", false},
      {"erase keys once all is erased", "a\b\b\x7fq\n", "*\b \b*\n", "q", false},
      {"blanks and punctuation dropped", " a-b.c!\n", "***\n", "abc", true},
      {"delete erases", "ab\x7f\n", "**\b \b\n", "a", false},
      {"delete erases as backspace does", "abcx\x7f" "d\r", "****\b \b*\n", "abcd", false},
      {"nothing stored", " .,;\t\n", "\n", "(none)", true},
      {"byte 0xFF is a key, not end of input", "x\xffy\n", "**\n", "xy", true},
      {"end of input key ends the entry", "ab\x04zz\n", "**\n", "ab", false},
      {"the terminal's own erase character", "ab#c\n", "**\b \b*\n", "ac", false, eraseAndEnd('#', 4)},
      {"backspace and delete erase whatever the erase character", "ab\x7f" "c\bd\n", "**\b \b*\b \b*\n", "ad",
       false, eraseAndEnd('#', 4)},
      {"the terminal's own end-of-input character", "a\x04" "b\x18" "c\n", "**\n", "ab", true,
       eraseAndEnd(0x7f, 0x18)},
      {"no erase or end-of-input character at all", std::string("a\x04" "b\x7f" "\0" "c\n", 7), "**\b \b*\n", "ac",
       true, eraseAndEnd(_POSIX_VDISABLE, _POSIX_VDISABLE)},
  };
  for (const EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child(
        [] {
          EntryNotes notes;
          std::optional<std::string> entry = readPassword("Password: ", &notes);
          std::printf("[%s]%s\n", entry ? entry->c_str() : "(none)", notes.droppedKey ? " dropped" : "");
        },
        {c.adjust});
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

// The limit is on the characters stored: an erase at the limit makes room
// again. A letter or digit past it makes the entry too long: the rest of
// that line (to Enter or the end-of-input key) is read unseen and the entry
// gives nothing, and the next entry begins after that line.
TEST(ReadPassword, EntryPastTheLongestPassword) {
  const std::string longest(kPasswordMaxLength, 'p');
  const std::string stars(kPasswordMaxLength, '*');
  const struct {
    const char* name;
    std::string keys;  // the first entry's line
    std::string screen;
    const char* entry;  // its length, or what the notes say
  } cases[] = {
      {"the longest", longest + "\n", stars + "\n", "8191"},
      {"one past it", longest + "Xmore\n", stars + "\n", "0 too long"},
      {"past it, then a dropped key and erase keys", longest + "Q-\b\x7fr\r", stars + "\n", "0 too long"},
      {"past it, ended by the end-of-input key", longest + "X\x04", stars + "\n", "0 too long"},
      {"an erase at the limit makes room", longest + "\bY\n", stars + "\b \b*\n", "8191"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child([] {
      // As main asks: two entries in one exchange, so keys typed ahead of
      // the second one are its own.
      PasswordExchange exchange;
      EntryNotes notes;
      std::optional<std::string> entry = readPassword("", &notes);
      std::optional<std::string> next = readPassword("");
      std::printf("[%zu%s %s]\n", entry ? entry->size() : 0, notes.tooLong ? " too long" : "",
                  next ? next->c_str() : "(none)");
    });
    // Sent in pieces smaller than the terminal's input buffer, each once the
    // previous one was read.
    const std::string keys = c.keys + "next\n";
    for (std::size_t at = 0; at < keys.size(); at += 1024) {
      ASSERT_TRUE(child.waitForKeyRead());
      child.send(keys.substr(at, 1024));
    }
    int status = child.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(child.output(), c.screen + "****\n[" + c.entry + " next]\n");
    EXPECT_EQ(child.sttyG(), child.initial());
  }
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

// The process id of the interactive shell's only child: its stopped job.
// Taken from the process table, not from what the shell prints, which may
// still be on its way and holds the tool's path.
pid_t stoppedJobPid(harness::Pty& pty) {
  std::string children = harness::shell("pgrep -P " + std::to_string(pty.pid()));
  // One line of digits.
  std::size_t end = children.find_first_not_of("0123456789");
  if (end == 0 || end == std::string::npos || children.substr(end) != "\n") return -1;
  return static_cast<pid_t>(std::stol(children));
}

// The state letter of /proc/<pid>/stat ('Z' for a zombie), or 0 once the
// process is gone.
char processState(pid_t pid) {
  std::string stat = harness::shell("cat /proc/" + std::to_string(pid) + "/stat 2>/dev/null");
  std::size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
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
      {"a control key", "ab\x01\r", "", "Password: **\r\n" + refused},
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
        // Stopped by its read, not by a change of the shell's terminal.
        EXPECT_EQ(pty.output().find("tty output", continuedAt), std::string::npos) << pty.output().substr(continuedAt);
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
    pid_t tool = stoppedJobPid(pty);
    ASSERT_GT(tool, 0) << pty.output();
    ASSERT_EQ(processState(tool), 'T') << "not the stopped job: " << tool << "\n" << pty.output();
    std::size_t killedAt = pty.output().size();
    for (const std::string& command : c.commands) {
      ASSERT_TRUE(pty.waitFor("$ ", 5000));
      pty.send(command + "\n");
    }
    // The shell reports the job's end with its next prompt, or when asked.
    // On a loaded machine a shell may take long to collect a job that has
    // ended; the tool itself is then already a zombie, or gone once the
    // shell has collected it. Its state is read once per look, as the
    // shell may collect it between two reads.
    auto ended = [&] { return pty.output().find(c.ended, killedAt) != std::string::npos; };
    char state = processState(tool);
    auto gone = [](char s) { return s == 'Z' || s == 0; };
    for (int i = 0; i < 100 && !ended() && !gone(state); ++i) {
      pty.send("jobs\n");
      pty.readFor(300);
      state = processState(tool);
    }
    ASSERT_TRUE(ended() || gone(state)) << "tool state " << (state ? std::string(1, state) : "gone") << "\n"
                                        << pty.output().substr(killedAt);
    EXPECT_EQ(pty.output().find("tty output", killedAt), std::string::npos) << pty.output().substr(killedAt);
    struct termios after = pty.attributes();
    EXPECT_TRUE((after.c_lflag & ICANON) && (after.c_lflag & ECHO)) << "no echo left behind";
    pty.send("exit\n");
    harness::PtyExit exit = pty.wait();
    EXPECT_TRUE(exit.exited(0)) << pty.output();
    EXPECT_EQ(harness::shell("ls -A /tmp/work/conf"), "");
  }
}

// ----- the whole exchange, on terminals as administrators have them -----

namespace {
// `body` at its prompt on a terminal that is its standard streams but not
// its controlling terminal (started after setsid), two keys typed, then
// `sig`: the restoring handlers put the settings back there too, as no
// other process group's foreground can own that terminal.
void expectSignalRestoresATerminalNotControlling(const std::function<void()>& body, int sig) {
  PtyChild child(body, {nullptr, false});
  const std::string& before = child.initial();
  ASSERT_TRUE(child.waitForKeyRead());
  ASSERT_NE(child.sttyG(), before);
  child.send("x1");
  ASSERT_TRUE(child.waitForKeyRead());
  ::kill(child.pid(), sig);
  int status = child.finish();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), sig);
  EXPECT_EQ(child.output(), "Password: **");
  EXPECT_EQ(child.sttyG(), before);
}
}  // namespace

TEST(ReadPassword, TerminalThatIsNotTheControllingOne) {
  for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
    SCOPED_TRACE(sig);
    expectSignalRestoresATerminalNotControlling(promptAndShow, sig);
  }
}

// Whatever minimum and time-out the terminal had for non-canonical reads,
// the entry waits for its keys, and the old values come back after it.
TEST(ReadPassword, InheritedMinimumAndTimeOut) {
  const struct {
    const char* name;
    cc_t min;
    cc_t time;
  } cases[] = {{"min 0", 0, 0}, {"min 0 time 2", 0, 2}, {"min 4", 4, 0}, {"min 3 time 1", 3, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtyChild child(promptAndShow, {[&c](struct termios& t) {
                     t.c_cc[VMIN] = c.min;
                     t.c_cc[VTIME] = c.time;
                   }});
    const std::string& before = child.initial();
    ASSERT_TRUE(child.waitForKeyRead());
    // Longer than the time-out: still waiting, and nothing ended the entry.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(child.waitForKeyRead());
    child.send("k");
    ASSERT_TRUE(child.waitForKeyRead());
    child.send("1\n");
    int status = child.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(child.output(), "Password: **\n[k1]\n");
    EXPECT_EQ(child.sttyG(), before);
  }
}

// A terminal hung up between the two entries: the second read gets no byte
// from the hung-up terminal, which is a failure, not an empty entry or an
// end like Enter.
TEST(ReadPassword, HungUpTerminalFailsTheEntry) {
  // The child goes on to the second entry only once the test has hung the
  // terminal up, however long the test is kept off the processor.
  int hungUp[2];
  ASSERT_EQ(::pipe(hungUp), 0);
  PtyChild child([&hungUp] {
    // As a session leader that ignores the hangup.
    ::signal(SIGHUP, SIG_IGN);
    PasswordExchange exchange;
    EntryNotes notes;
    std::optional<std::string> first = readPassword("Password: ", &notes);
    bool firstWhole = first && *first == "ab" && !notes.readFailed;
    std::fflush(stdout);
    char go = 0;
    while (::read(hungUp[0], &go, 1) < 0 && errno == EINTR) {
    }
    std::optional<std::string> second = readPassword("  Verify: ", &notes);
    ::_exit(firstWhole && !second && notes.readFailed ? 0 : 3);
  });
  ::close(hungUp[0]);
  ASSERT_TRUE(child.waitForKeyRead());
  child.send("ab\n");
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (child.output() != "Password: **\n" && Clock::now() < deadline) child.waitForKeyRead();
  ASSERT_EQ(child.output(), "Password: **\n");
  child.hangUp();
  EXPECT_EQ(::write(hungUp[1], "h", 1), 1);
  ::close(hungUp[1]);
  int status = child.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

namespace {

const std::vector<std::string> kPromptArgs = {"--dev-test-paths", "/tmp/work", "--user", "admin"};
const char* const kStoredCredentials = "/tmp/work/conf/adminreset.properties";

// The tool's prompt step run by /bin/sh on the terminal, `before` and
// `after` being shell commands around it.
void startToolUnderShell(harness::Pty& pty, const std::string& before, const std::string& after) {
  std::string command = harness::shellQuote(harness::toolPath());
  for (const std::string& arg : kPromptArgs) command += " " + harness::shellQuote(arg);
  pty.start("/bin/sh", {"-c", before + command + after});
}

// Waits for each prompt and types its entry.
void answerPrompts(harness::Pty& pty, const std::string& first, const std::string& second) {
  ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
  pty.send(first);
  ASSERT_TRUE(pty.waitFor("  Verify: ")) << pty.output();
  pty.send(second);
}

// Types `keys` one byte per write, at least `gapUs` apart.
void typeSlowly(harness::Pty& pty, const std::string& keys, int gapUs) {
  for (char key : keys) {
    pty.send(std::string(1, key));
    auto next = Clock::now() + std::chrono::microseconds(gapUs);
    while (Clock::now() < next) {
    }
  }
}

}  // namespace

// Keys typed the moment each prompt appears, as an expect-style responder
// or a quick typist sends them: none is ever echoed by the terminal, at
// either prompt, however close to the prompt it comes. Many runs, so that
// a window of a few hundred system calls between a prompt and the switch
// of the settings would be met.
TEST(ToolPrompt, KeysTypedAsEachPromptAppearsAreNeverEchoed) {
  harness::Sandbox box;
  box.makeDirs("/tmp/work/conf");
  const struct {
    int gapUs;
    int runs;
  } paces[] = {{20, 150}, {1000, 60}};
  const std::string expected = "Password: ****\r\n  Verify: ****\r\n";
  for (const auto& pace : paces) {
    SCOPED_TRACE(std::to_string(pace.gapUs) + " us apart");
    int echoed = 0;
    std::string example;
    for (int run = 0; run < pace.runs; ++run) {
      harness::Pty pty;
      pty.startTool(kPromptArgs);
      ASSERT_TRUE(pty.waitFor("Password: ", 30000)) << pty.output();
      typeSlowly(pty, "1234\r", pace.gapUs);
      ASSERT_TRUE(pty.waitFor("  Verify: ", 30000)) << pty.output();
      typeSlowly(pty, "1234\r", pace.gapUs);
      harness::PtyExit exit = pty.wait(30000);
      ASSERT_TRUE(exit.exited(0)) << pty.output();
      if (pty.output().compare(0, expected.size(), expected) != 0) {
        ++echoed;
        if (example.empty()) example = pty.output();
      }
    }
    EXPECT_EQ(echoed, 0) << "of " << pace.runs << " runs, e.g.\n" << example;
    EXPECT_EQ(harness::readFile(kStoredCredentials), "admin.user=admin\nadmin.pass=1234\n");
  }
}

// Keys typed before the tool took the terminal were echoed by it in clear:
// they are discarded, not taken as the first entry.
TEST(ToolPrompt, KeysTypedBeforeTheExchangeAreDiscarded) {
  harness::Sandbox box;
  box.makeDirs("/tmp/work/conf");
  harness::Pty pty;
  // The tool starts only once the keys were typed and echoed.
  startToolUnderShell(pty, "echo ready; while [ ! -e /tmp/typed ]; do sleep 0.01; done; exec ", "");
  ASSERT_TRUE(pty.waitFor("ready\r\n")) << pty.output();
  pty.send("zz9\r");
  ASSERT_TRUE(pty.waitFor("ready\r\nzz9\r\n")) << "echoed before the tool started: " << pty.output();
  box.writeFile("/tmp/typed", "");
  ASSERT_NO_FATAL_FAILURE(answerPrompts(pty, "ab12\r", "ab12\r"));
  harness::PtyExit exit = pty.wait();
  EXPECT_TRUE(exit.exited(0)) << pty.output();
  EXPECT_EQ(pty.output().find("ready\r\nzz9\r\nPassword: ****\r\n  Verify: ****\r\n"), 0u) << pty.output();
  EXPECT_EQ(harness::readFile(kStoredCredentials), "admin.user=admin\nadmin.pass=ab12\n");
}

// A paste of both entries and a command: the tool takes only its two
// entries, the command is left on the terminal for the shell.
TEST(ToolPrompt, KeysAfterTheEntriesAreLeftForTheNextReader) {
  harness::Sandbox box;
  box.makeDirs("/tmp/work/conf");
  harness::Pty pty;
  startToolUnderShell(pty, "", "; IFS= read -r line; echo \"next reader: [$line]\"");
  ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
  pty.send("abc1\rabc1\rls -l\r");
  EXPECT_TRUE(pty.waitFor("next reader: [ls -l]\r\n")) << pty.output();
  harness::PtyExit exit = pty.wait();
  EXPECT_TRUE(exit.exited(0)) << pty.output();
  EXPECT_EQ(harness::readFile(kStoredCredentials), "admin.user=admin\nadmin.pass=abc1\n");
}

// The erase key as terminals send it (delete, stty's "erase = ^?"),
// backspace, and an erase character of the terminal's own.
TEST(ToolPrompt, EraseKeysOfTheTerminal) {
  const struct {
    const char* name;
    const char* stty;  // settings made before the tool starts
    std::string erase;
  } cases[] = {
      {"delete", "", "\x7f"},
      {"backspace", "", "\b"},
      {"the erase character", "erase '#'", "#"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    harness::Sandbox box;
    box.makeDirs("/tmp/work/conf");
    harness::Pty pty;
    if (*c.stty) harness::shell(std::string("stty ") + c.stty + " < " + pty.slaveName());
    const std::string before = pty.sttyG();
    pty.startTool(kPromptArgs);
    ASSERT_NO_FATAL_FAILURE(answerPrompts(pty, "abcx" + c.erase + "d\r", "abcx" + c.erase + "d\r"));
    harness::PtyExit exit = pty.wait();
    EXPECT_TRUE(exit.exited(0)) << pty.output();
    EXPECT_EQ(pty.output().find("Password: ****\b \b*\r\n  Verify: ****\b \b*\r\nServer username and password set"),
              0u)
        << pty.output();
    EXPECT_EQ(harness::readFile(kStoredCredentials), "admin.user=admin\nadmin.pass=abcd\n");
    EXPECT_EQ(pty.sttyG(), before);
  }
}

// `stty min 0` left behind by another program: the prompt still waits for
// keys, and the terminal gets its own values back.
TEST(ToolPrompt, InheritedMinZeroStillWaitsForKeys) {
  harness::Sandbox box;
  box.makeDirs("/tmp/work/conf");
  harness::Pty pty;
  harness::shell("stty min 0 time 0 < " + pty.slaveName());
  const std::string before = pty.sttyG();
  pty.startTool(kPromptArgs);
  ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
  pty.readFor(300);
  ASSERT_EQ(pty.output(), "Password: ");
  pty.send("pw1\r");
  ASSERT_TRUE(pty.waitFor("  Verify: ")) << pty.output();
  pty.readFor(300);
  ASSERT_EQ(pty.output(), "Password: ***\r\n  Verify: ");
  pty.send("pw1\r");
  harness::PtyExit exit = pty.wait();
  EXPECT_TRUE(exit.exited(0)) << pty.output();
  EXPECT_EQ(harness::readFile(kStoredCredentials), "admin.user=admin\nadmin.pass=pw1\n");
  EXPECT_EQ(pty.sttyG(), before);
}

// The terminal closed after the Verify keys but before Enter, under a
// session leader that ignores the hangup (so the tool gets none either):
// the failed read ends the run with status 1 and nothing is written.
TEST(ToolPrompt, HangupBeforeTheLastEnterWritesNothing) {
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    harness::Sandbox box;
    box.makeDirs("/tmp/work/conf");
    harness::Pty pty;
    // What the tool prints goes on through tee into a file once the
    // terminal is gone.
    startToolUnderShell(pty, "trap '' HUP; { ", "; echo \"status $?\"; } 2>&1 | tee /tmp/out");
    ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
    pty.send("abc1\r");
    ASSERT_TRUE(pty.waitFor("  Verify: ")) << pty.output();
    pty.send("abc1");
    ASSERT_TRUE(pty.waitFor("  Verify: ****")) << pty.output();
    pty.hangUp();
    pty.wait();
    EXPECT_EQ(harness::readFile("/tmp/out"),
              "Password: ****\n  Verify: ****\nFailed to read the password\nstatus 1\n");
    EXPECT_FALSE(harness::pathPresent(kStoredCredentials));
  }
}

// The same with the tool, started after setsid with its input on a
// terminal that is not its controlling one.
TEST(ToolPrompt, SignalOnATerminalThatIsNotTheControllingOne) {
  harness::Sandbox box;
  const std::string tool = harness::toolPath();
  expectSignalRestoresATerminalNotControlling(
      [&tool] {
        ::execl(tool.c_str(), tool.c_str(), "--dev-test-paths", "/tmp/work", "--user", "admin",
                static_cast<char*>(nullptr));
        ::_exit(127);
      },
      SIGTERM);
}

// A fault signal at the prompt (sent from outside, so that it is the
// restorer and not a real fault that is tested) still puts the terminal
// back before the process ends by it. The sanitizers' own fault handlers
// are left out, as they would take the signal first.
TEST(ToolPrompt, FaultSignalsRestoreTheTerminal) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(asan ? asan : "") +
                              ":handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    SCOPED_TRACE(sig);
    harness::Sandbox box;
    harness::Pty pty;
    const std::string before = pty.sttyG();
    pty.startTool(kPromptArgs, {{"ASAN_OPTIONS", options}});
    ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
    pty.send("ab");
    ASSERT_TRUE(pty.waitFor("Password: **")) << pty.output();
    ASSERT_TRUE(waitForRawKeyRead(pty));
    pty.signal(sig);
    harness::PtyExit exit = pty.wait();
    EXPECT_EQ(exit.signal, sig) << pty.output();
    EXPECT_EQ(pty.sttyG(), before);
  }
}

// Ctrl-\ at the second prompt, where a core file may be written to the
// working directory with no size limit: no file there holds the password.
// A program without such care, in the same set-up, shows that a core would
// hold what was typed.
TEST(ToolPrompt, ADumpAtThePromptHoldsNoPassword) {
  harness::Sandbox box;
  box.makeDirs("/tmp/work/conf");
  box.makeDirs("/tmp/cores-cat");
  box.makeDirs("/tmp/cores-tool");
  const std::string secret = "Secr3tPw";
  const std::string findSecret = " | xargs -0 -r grep -l " + secret + " 2>/dev/null || true";
  {
    harness::Pty control;
    control.start("/bin/sh", {"-c", "ulimit -c unlimited; cd /tmp/cores-cat && exec cat"});
    control.send(secret + "\n");
    ASSERT_TRUE(control.waitFor(secret + "\r\n" + secret + "\r\n")) << control.output();
    control.send("\x1c");
    harness::PtyExit exit = control.wait();
    ASSERT_EQ(exit.signal, SIGQUIT);
    if (harness::shell("find /tmp/cores-cat -type f -print0" + findSecret).empty())
      GTEST_SKIP() << "no core file in the working directory on this machine: "
                   << harness::shell("cat /proc/sys/kernel/core_pattern");
  }
  const char* asan = std::getenv("ASAN_OPTIONS");
  harness::Pty pty;
  pty.start("/bin/sh", {"-c", "ulimit -c unlimited; cd /tmp/cores-tool && exec " +
                                  harness::shellQuote(harness::toolPath()) +
                                  " --dev-test-paths /tmp/work --user admin"},
            {{"ASAN_OPTIONS", std::string(asan ? asan : "") + ":disable_coredump=0"}});
  ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
  pty.send(secret + "\r");
  ASSERT_TRUE(pty.waitFor("  Verify: ")) << pty.output();
  pty.send(secret);
  ASSERT_TRUE(pty.waitFor("  Verify: ********")) << pty.output();
  pty.send("\x1c");
  harness::PtyExit exit = pty.wait();
  EXPECT_EQ(exit.signal, SIGQUIT) << pty.output();
  EXPECT_EQ(harness::shell("find /tmp/cores-tool -type f -print0" + findSecret), "")
      << harness::shell("ls -la /tmp/cores-tool");
  EXPECT_FALSE(harness::pathPresent(kStoredCredentials));
}

// ----- keys past the longest entry, a start in the background -----

namespace {

struct JobShell {
  const char* path;
  std::vector<std::string> args;
};
const JobShell kJobShells[] = {
    {"/bin/dash", {"-i"}},  // leaves the terminal as a job left it
    {"/bin/bash", {"--norc", "--noprofile", "--noediting", "-i"}},
};

// A row's set-up: a sandbox with the tool's configuration directory, and
// an interactive shell on a new terminal at its first prompt (`ready`);
// the terminal's settings there, and how much had been printed.
struct ShellAtPrompt {
  explicit ShellAtPrompt(const JobShell& shell) {
    box.makeDirs("/tmp/work/conf");
    pty.start(shell.path, shell.args, {{"PS1", "$ "}, {"ENV", ""}, {"HISTFILE", "/dev/null"}, {"TERM", "dumb"}});
    ready = pty.waitFor("$ ");
    before = pty.sttyG();
    from = pty.output().size();
  }
  harness::Sandbox box;
  harness::Pty pty;
  bool ready = false;
  std::string before;
  std::size_t from = 0;
};

// The tool's prompt step as a command line.
std::string toolCommand() {
  std::string command = harness::shellQuote(harness::toolPath());
  for (const std::string& arg : kPromptArgs) command += " " + harness::shellQuote(arg);
  return command;
}

// Types `command` at the shell's prompt, followed by a report of its exit
// status that the typed line itself does not spell out.
void typeCommandWithStatus(harness::Pty& pty, const std::string& command) {
  pty.send(command + "; echo \"stat\"\"us $?\"\n");
}

// The status reported after `from`, once the shell has printed it; -1 when
// it never came.
int waitForStatus(harness::Pty& pty, std::size_t from) {
  auto reported = [&] {
    std::size_t at = pty.output().find("\nstatus ", from);
    return at != std::string::npos && pty.output().find("\r\n", at + 1) != std::string::npos ? at : std::string::npos;
  };
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (reported() == std::string::npos && Clock::now() < deadline) pty.readFor(20);
  std::size_t at = reported();
  return at == std::string::npos ? -1 : std::atoi(pty.output().c_str() + at + 8);
}

// A line typed now is shown as typed (the terminal still echoes) and run:
// once its answer is there, the shell has read and run every line before
// it too.
void expectShellEchoesAndRuns(harness::Pty& pty) {
  std::size_t from = pty.output().size();
  pty.send("echo shell$((6*7))\n");
  ASSERT_TRUE(pty.waitFor("shell42\r\n", 30000)) << pty.output();
  EXPECT_NE(pty.output().find("echo shell$((6*7))\r\n", from), std::string::npos) << "typed blind: " << pty.output();
}

// Types a long run of keys in pieces, so that no single write waits long
// for the reader.
void sendInPieces(harness::Pty& pty, const std::string& keys) {
  for (std::size_t at = 0; at < keys.size(); at += 1024) pty.send(keys.substr(at, 1024));
}

// Waits until the process is stopped ('T'); false after 30 s.
bool waitUntilStopped(harness::Pty& pty, pid_t pid) {
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (processState(pid) != 'T') {
    if (Clock::now() > deadline) return false;
    pty.readFor(10);
  }
  return true;
}

// The only child of the shell, once it has one.
pid_t waitForJob(harness::Pty& pty) {
  auto deadline = Clock::now() + std::chrono::seconds(30);
  pid_t job;
  while ((job = stoppedJobPid(pty)) <= 0 && Clock::now() < deadline) pty.readFor(10);
  return job;
}

}  // namespace

// A line longer than the longest entry, under a job-control shell: the
// entry is refused with status 1 before anything is written, and no key of
// that line becomes the Verify entry or is left for the shell, which would
// show it in clear and run it as a command. What follows the line stays
// the next reader's.
TEST(ToolPrompt, KeysPastTheLongestEntryReachNoOneElse) {
  const std::string longest(kPasswordMaxLength, 'p');
  const std::string stars(kPasswordMaxLength, '*');
  const std::string refused = "The password may hold at most 8191 characters\r\n";
  const struct {
    const char* name;
    std::string first;
    std::string second;  // empty: no Verify prompt
    std::string screen;  // what the tool prints
    bool stored;         // the longest entry was set
  } cases[] = {
      {"past the limit at the first prompt", longest + "Xtouch /tmp/leaked\r", "", "Password: " + stars + "\r\n" + refused,
       false},
      {"a dropped key before the limit, a command after", "p@" + longest + " touch /tmp/leaked\r", "",
       "Password: " + stars + "\r\n" + refused, false},
      {"past the limit at the second prompt, the first entry its start", longest + "\r",
       longest + " touch /tmp/leaked\r", "Password: " + stars + "\r\n  Verify: " + stars + "\r\n" + refused, false},
      {"past the limit, ended by the end-of-input key", longest + "Xyz\x04", "", "Password: " + stars + "\r\n" + refused,
       false},
      {"the longest entry at both prompts", longest + "\r", longest + "\r",
       "Password: " + stars + "\r\n  Verify: " + stars + "\r\nServer username and password set\r\n", true},
  };
  for (const JobShell& shell : kJobShells) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(shell.path) + ": " + c.name);
      ShellAtPrompt row(shell);
      ASSERT_TRUE(row.ready) << row.pty.output();
      harness::Pty& pty = row.pty;
      const std::string& before = row.before;
      const std::size_t from = row.from;
      typeCommandWithStatus(pty, toolCommand());
      ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
      ASSERT_TRUE(waitForRawKeyRead(pty));
      sendInPieces(pty, c.first);
      if (!c.second.empty()) {
        ASSERT_TRUE(pty.waitFor("  Verify: ", 30000)) << pty.output().substr(from);
        ASSERT_TRUE(waitForRawKeyRead(pty));
        sendInPieces(pty, c.second);
      }
      int status = waitForStatus(pty, from);
      EXPECT_EQ(status, c.stored ? 0 : 1) << pty.output().substr(from);
      expectShellEchoesAndRuns(pty);
      const std::string screen = pty.output().substr(from);
      std::size_t toolAt = screen.find("Password: ");
      std::size_t statusAt = screen.find("\nstatus ");
      ASSERT_NE(toolAt, std::string::npos);
      ASSERT_NE(statusAt, std::string::npos);
      std::string tool = screen.substr(toolAt, statusAt + 1 - toolAt);
      if (c.stored)
        EXPECT_EQ(tool.compare(0, c.screen.size(), c.screen), 0) << tool.substr(tool.size() - 200);
      else
        EXPECT_EQ(tool, c.screen);
      EXPECT_EQ(screen.find("touch"), std::string::npos) << "shown in clear";
      EXPECT_FALSE(harness::pathPresent("/tmp/leaked")) << "run by the shell";
      if (c.stored)
        EXPECT_EQ(harness::readFile(kStoredCredentials), "admin.user=admin\nadmin.pass=" + longest + "\n");
      else
        EXPECT_EQ(harness::shell("ls -A /tmp/work/conf"), "");
      EXPECT_EQ(pty.sttyG(), before);
      pty.send("exit\n");
      EXPECT_TRUE(pty.wait().exited(0)) << pty.output();
    }
  }
}

// From a pipe the end of input ends the line that went past the limit.
TEST(ToolPrompt, EntryPastTheLimitFromAPipe) {
  harness::Sandbox box;
  box.makeDirs("/tmp/work/conf");
  harness::RunOptions options;
  options.args = kPromptArgs;
  options.input = std::string(kPasswordMaxLength, 'k') + "Xrest";
  harness::RunResult r = harness::runTool(options);
  EXPECT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_EQ(r.out, "Password: " + std::string(kPasswordMaxLength, '*') + "\nThe password may hold at most 8191 characters\n");
  EXPECT_EQ(harness::shell("ls -A /tmp/work/conf"), "");
}

// Started in the background where it may not stop for the terminal (its
// input stop ignored or blocked, or an orphaned process group): the tool
// fails with its read-failure text and status 1, shows no prompt, and
// leaves the terminal as the shell has it, still echoing what is typed.
TEST(ToolPrompt, StartedInTheBackgroundWithoutAWayToWait) {
  const struct {
    const char* name;
    std::string command;  // "%t": the tool's command
    bool orphaned;        // no status to wait for: the text is awaited
  } cases[] = {
      {"input stops ignored", "env --ignore-signal=TTIN,TTOU %t & wait $!", false},
      {"input stops blocked", "env --block-signal=TTIN,TTOU %t & wait $!", false},
      // Its parent ends at once: the job is a process group of its own
      // whose parent is outside the session, which nothing may stop.
      {"an orphaned process group", "( %t </dev/tty & echo \"orphan $!\" )", true},
  };
  for (const JobShell& shell : kJobShells) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(shell.path) + ": " + c.name);
      ShellAtPrompt row(shell);
      ASSERT_TRUE(row.ready) << row.pty.output();
      harness::Pty& pty = row.pty;
      const std::string& before = row.before;
      const std::size_t from = row.from;
      std::string command = c.command;
      command.replace(command.find("%t"), 2, toolCommand());
      typeCommandWithStatus(pty, command);
      int status = waitForStatus(pty, from);
      if (c.orphaned) {
        EXPECT_TRUE(pty.waitFor("Failed to read the password\r\n", 30000)) << pty.output().substr(from);
        std::size_t at = pty.output().find("\norphan ", from);
        pid_t orphan = at == std::string::npos ? 0 : std::atoi(pty.output().c_str() + at + 8);
        // Never left behind, whatever the outcome.
        if (orphan > 0 && processState(orphan) != 0 && processState(orphan) != 'Z') ::kill(orphan, SIGKILL);
      } else {
        EXPECT_EQ(status, 1) << pty.output().substr(from);
      }
      expectShellEchoesAndRuns(pty);
      const std::string screen = pty.output().substr(from);
      EXPECT_NE(screen.find("Failed to read the password\r\n"), std::string::npos) << screen;
      EXPECT_EQ(screen.find("Password: "), std::string::npos) << screen;
      EXPECT_EQ(pty.sttyG(), before);
      EXPECT_EQ(harness::shell("ls -A /tmp/work/conf"), "");
      pty.send("exit\n");
      pty.wait();
    }
  }
}

// Started in the background, the tool stops as a reader there would, and
// changes nothing meanwhile; brought to the foreground it takes the
// settings in force then (here with an erase character set while it
// waited), and puts those back at its end.
TEST(ToolPrompt, StartedInTheBackgroundWaitsForTheForeground) {
  for (const JobShell& shell : kJobShells) {
    SCOPED_TRACE(shell.path);
    ShellAtPrompt row(shell);
    ASSERT_TRUE(row.ready) << row.pty.output();
    harness::Pty& pty = row.pty;
    const std::string& before = row.before;
    pty.send(toolCommand() + " &\n");
    pid_t tool = waitForJob(pty);
    ASSERT_GT(tool, 0) << pty.output();
    ASSERT_TRUE(waitUntilStopped(pty, tool)) << "state " << processState(tool) << "\n" << pty.output();
    EXPECT_EQ(pty.sttyG(), before) << "changed from the background";
    pty.send("stty erase '#'; echo \"stty\"\"done\"\n");
    ASSERT_TRUE(pty.waitFor("\nsttydone\r\n")) << pty.output();
    const std::string atForeground = pty.sttyG();
    ASSERT_NE(atForeground, before);
    std::size_t resumedAt = pty.output().size();
    pty.send("fg\n");
    ASSERT_TRUE(pty.waitFor("Password: ", 30000)) << pty.output();
    ASSERT_TRUE(waitForRawKeyRead(pty));
    pty.send("ab#c\r");
    ASSERT_TRUE(pty.waitFor("  Verify: ")) << pty.output();
    ASSERT_TRUE(waitForRawKeyRead(pty));
    pty.send("ac\r");
    ASSERT_TRUE(pty.waitFor("Server username and password set")) << pty.output();
    expectShellEchoesAndRuns(pty);
    const std::string resumed = pty.output().substr(resumedAt);
    EXPECT_NE(resumed.find("Password: **\b \b*\r\n  Verify: **\r\n"), std::string::npos) << resumed;
    EXPECT_EQ(pty.output().find("tty output"), std::string::npos) << pty.output();
    EXPECT_EQ(pty.sttyG(), atForeground);
    EXPECT_EQ(harness::readFile(kStoredCredentials), "admin.user=admin\nadmin.pass=ac\n");
    pty.send("exit\n");
    EXPECT_TRUE(pty.wait().exited(0)) << pty.output();
  }
}

// The tool is bound at start-up and its relocated data read-only after it
// (no lazy binding runs once a password has been typed).
TEST(ToolBinary, BoundAtStartWithReadOnlyRelocations) {
  const std::string tool = harness::shellQuote(harness::toolPath());
  const std::string dynamic = harness::shell("readelf -dW " + tool);
  auto entry = [&dynamic](const std::string& tag) {
    std::size_t at = dynamic.find("(" + tag + ")");
    return at == std::string::npos ? std::string() : dynamic.substr(at, dynamic.find('\n', at) - at);
  };
  EXPECT_NE(entry("FLAGS").find("BIND_NOW"), std::string::npos) << dynamic;
  EXPECT_NE(entry("FLAGS_1").find(" NOW"), std::string::npos) << dynamic;
  EXPECT_NE(harness::shell("readelf -lW " + tool).find("GNU_RELRO"), std::string::npos);
}

namespace {

// Every place in the writable memory of a process stopped by its tracer
// where a piece of `secret` (any 8 of its bytes in a row) stands, one line
// per mapping. Mappings of more than a gigabyte are left out: only the
// sanitizers' shadow reservations are that large, and they hold no data.
std::string piecesInMemory(pid_t pid, const std::string& secret) {
  const std::size_t piece = 8;
  const unsigned long largest = 1ul << 30, chunk = 1ul << 20;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  UniqueFd mem(::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC));
  if (!mem) return "cannot read the memory: " + std::string(std::strerror(errno));
  std::string found;
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long low = 0, high = 0;
    char perms[8] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %7s", &low, &high, perms) != 3 || perms[1] != 'w') continue;
    if (high - low > largest) continue;
    // Read a chunk at a time; the last bytes of one are kept before the
    // next, so that a piece across the border is found too.
    std::string bytes;
    bool seen = false;
    for (unsigned long at = low; at < high && !seen; at += chunk) {
      std::string part(std::min(chunk, high - at), '\0');
      ssize_t n = ::pread(mem.get(), &part[0], part.size(), static_cast<off_t>(at));
      if (n <= 0) break;
      part.resize(static_cast<std::size_t>(n));
      bytes = bytes.substr(bytes.size() < piece ? 0 : bytes.size() - (piece - 1)) + part;
      for (std::size_t from = 0; from + piece <= secret.size() && !seen; ++from) {
        if (bytes.find(secret.substr(from, piece)) == std::string::npos) continue;
        found += "bytes " + std::to_string(from) + "+ of it in " + line + "\n";
        seen = true;
      }
    }
  }
  return found;
}

}  // namespace

// After a mismatch the tool ends with both entries wiped: at its exit (held
// there by a tracer) no piece of either stands anywhere in its writable
// memory, the dead stack below the stack pointer included, where a register
// that held a compared piece would have been saved.
TEST(ToolPrompt, MismatchLeavesNoCopyOfTheEntries) {
  const std::string first = "Qm7Rz2Kp9Xw4Lb8Tn3Vh6Jc1Fy5Gd0Hs7Ue2Wq";
  const std::string second = "Zk4Pt8Mx1Rv6Nb3Cq9Ly2Hw7Js5Dg0Fe4Ua8Ti";
  harness::Sandbox box;
  box.makeDirs("/tmp/work/conf");
  harness::Pty pty;
  pty.startTool(kPromptArgs);
  ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
  ASSERT_EQ(::ptrace(PTRACE_SEIZE, pty.pid(), nullptr, PTRACE_O_TRACEEXIT), 0) << std::strerror(errno);
  ASSERT_TRUE(waitForRawKeyRead(pty));
  pty.send(first + "\r");
  ASSERT_TRUE(pty.waitFor("  Verify: ")) << pty.output();
  ASSERT_TRUE(waitForRawKeyRead(pty));
  pty.send(second + "\r");
  auto deadline = Clock::now() + std::chrono::seconds(30);
  bool atExit = false;
  while (!atExit) {
    int status = 0;
    pid_t r = ::waitpid(pty.pid(), &status, WNOHANG | __WALL);
    if (r == 0) {
      ASSERT_LT(Clock::now(), deadline) << pty.output();
      pty.readFor(10);
      continue;
    }
    ASSERT_EQ(r, pty.pid()) << std::strerror(errno);
    ASSERT_TRUE(WIFSTOPPED(status)) << "ended before its exit was seen: " << status;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      atExit = true;
      EXPECT_EQ(piecesInMemory(pty.pid(), first), "");
      EXPECT_EQ(piecesInMemory(pty.pid(), second), "");
      ::ptrace(PTRACE_DETACH, pty.pid(), nullptr, nullptr);
    } else {
      // A signal on its way: delivered as it would have been.
      int sig = status >> 16 == 0 ? WSTOPSIG(status) : 0;
      ::ptrace(PTRACE_CONT, pty.pid(), nullptr, reinterpret_cast<void*>(static_cast<long>(sig)));
    }
  }
  harness::PtyExit exit = pty.wait();
  EXPECT_TRUE(exit.exited(1)) << pty.output();
  EXPECT_EQ(pty.output(), "Password: " + std::string(first.size(), '*') + "\r\n  Verify: " +
                              std::string(second.size(), '*') + "\r\nPasswords do not match\r\n");
}
