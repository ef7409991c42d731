// Upload benchmark, run by hand through bench/upload_bench.sh (which sets up
// nginx in a private network namespace and then runs this driver).
//
// For each package size it makes a package of random bytes, then runs the
// tool's kernel-headers upload and `curl -F` with the same multipart fields
// and the same file against the same HTTPS server, one after the other in
// alternating order, after one warm-up run of each. Each run is a process
// of its own, timed from fork to exit; its CPU time and peak resident memory
// come from wait4. After every run the server's access log must show a 200
// for a request at least as long as the package, so a run counts only when
// the server read the whole body. Failed runs are reported and left out of
// the figures, and make the driver's exit status 1.
//
//   upload_bench --url URL --work DIR --access-log FILE [--sizes 16,64,256] [--runs N]
//   upload_bench --upload-only PACKAGE HOST   (one upload, as the tool does it)
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "installer/state.h"
#include "installer/upload.h"
#include "setup/settings.h"

namespace {

using Clock = std::chrono::steady_clock;

// The form the tool sends here, and the same fields for curl: no custom
// version, no experimental part.
void useBenchSettings(const char* host) {
  archFormValue = "2\n";
  customVersion.reset();
  moduleType = 4;
  betaRequested = 0;
  experimentalBuild = false;
  silentMode = 1;
  if (host != nullptr) buildServiceHost = host;
  uname(&systemUname);
}

// The tool's upload alone: "ok" on standard output when the service answered
// 200. Fatal errors of the upload also exit with 0, so the driver looks for
// the "ok".
int uploadOnly(const char* package, const char* host) {
  useBenchSettings(host);
  tarballPath = package;
  OptText reply;
  int count = uploadKernelHeaders(&reply);
  if (count <= 0 || !reply || reply->compare(0, 12, "HTTP/1.1 200") != 0) return 1;
  std::fputs("ok\n", stdout);
  return 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool makePackage(const std::string& path, long mib) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<char> block(1 << 20);
  bool ok = true;
  for (long i = 0; i < mib && ok; ++i) {
    for (std::size_t at = 0; at < block.size() && ok;) {
      ssize_t n = getrandom(block.data() + at, block.size() - at, 0);
      ok = n > 0;
      if (ok) at += static_cast<std::size_t>(n);
    }
    ok = ok && write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size());
  }
  return close(fd) == 0 && ok;
}

struct Run {
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds
  long peakKiB = 0;
  bool ok = false;
  std::string why;
};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// Runs argv with standard output and error into files; times it to its exit.
Run runProcess(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  Run run;
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid < 0) {
    run.why = "fork failed";
    return run;
  }
  if (pid == 0) {
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(126);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage {};
  wait4(pid, &status, 0, &usage);
  run.wall = std::chrono::duration<double>(Clock::now() - start).count();
  run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.peakKiB = usage.ru_maxrss;
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.ok) run.why = "exit status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  return run;
}

std::size_t lineCount(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

// The access log's lines for the run that just ended ("<request_length>
// <status> ..."): one must be a 200 for a request that held the package.
// The tool's two bytes after its request are a second request to a server
// that keeps the connection open, logged as a 400 of length 0 once the tool
// closes; the run's own line may come before or after it.
std::string checkServerRead(const std::string& log, std::size_t linesBefore, long long packageSize) {
  std::string added;
  for (int i = 0; i < 100; ++i) {  // nginx writes a line as the request ends
    std::string text = readFile(log);
    std::istringstream lines(text);
    added.clear();
    std::size_t number = 0;
    for (std::string line; std::getline(lines, line); ++number) {
      if (number < linesBefore) continue;
      std::istringstream fields(line);
      long long length = 0;
      int status = 0;
      fields >> length >> status;
      if (status == 200 && length >= packageSize) return "";
      added += (added.empty() ? "" : "; ") + line;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (added.empty()) return "no access log line";
  return "the server logged \"" + added + "\"";
}

struct Stats {
  double median, min, max;
};
Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  return {median, v.front(), v.back()};
}

struct Options {
  std::string url, work, accessLog;
  std::vector<long> sizes{16, 64, 256};
  int runs = 7;
};

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i], value = argv[i + 1];
    if (name == "--url") {
      o->url = value;
    } else if (name == "--work") {
      o->work = value;
    } else if (name == "--access-log") {
      o->accessLog = value;
    } else if (name == "--runs") {
      o->runs = std::atoi(value.c_str());
    } else if (name == "--sizes") {
      o->sizes.clear();
      std::istringstream list(value);
      for (std::string item; std::getline(list, item, ',');) o->sizes.push_back(std::atol(item.c_str()));
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && !o->url.empty() && !o->work.empty() && !o->accessLog.empty() && o->runs > 0;
}

// The URL's host, which the tool takes as its build-service host.
std::string urlHost(const std::string& url) {
  std::size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  return url.substr(start, url.find_first_of(":/", start) - start);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--upload-only") == 0) return uploadOnly(argv[2], argv[3]);
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s --url URL --work DIR --access-log FILE [--sizes 16,64,256] [--runs N]\n"
                 "       %s --upload-only PACKAGE HOST\n",
                 argv[0], argv[0]);
    return 2;
  }
  useBenchSettings(nullptr);
  char exe[4096] = {};
  ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string self = len > 0 ? std::string(exe, static_cast<std::size_t>(len)) : std::string(argv[0]);
  std::string host = urlHost(o.url);
  std::string out = o.work + "/run.out", err = o.work + "/run.err";

  std::printf("Upload of a package of random bytes over TLS to nginx on loopback; %d runs of each client,\n"
              "alternating, after one warm-up run of each. MB/s counts 10^6 bytes of package per second\n"
              "of median wall time; peak RSS is the largest of the runs.\n\n",
              o.runs);
  std::printf("%-8s %-9s %9s %19s %8s %8s %13s\n", "package", "client", "median s", "min-max s", "MB/s",
              "CPU s", "peak RSS MiB");
  bool allOk = true;
  for (long mib : o.sizes) {
    std::string package = o.work + "/package-" + std::to_string(mib) + ".bin";
    if (!makePackage(package, mib)) {
      std::fprintf(stderr, "cannot write %s\n", package.c_str());
      return 1;
    }
    long long size = static_cast<long long>(mib) << 20;
    std::vector<std::string> tool{self, "--upload-only", package, host};
    std::vector<std::string> curl{"/usr/bin/curl", "-sS", "-k", "--http1.1", "-o", o.work + "/curl.reply",
                                  "-w", "%{http_code}",
                                  "-F", "MAX_FILE_SIZE=450000000",
                                  "-F", "arch=2",
                                  "-F", "version_major=" + std::to_string(moduleType),
                                  "-F", "beta=" + std::to_string(betaRequested),
                                  "-F", std::string("uname=") + systemUname.release,
                                  "-F", "kestrin_client=1",
                                  "-F", "gen=" + std::to_string(generation),
                                  "-F", "nd=1",
                                  "-F", "userfile=@" + package + ";filename=test.tar.gz;type=application/x-compressed",
                                  o.url};
    // Index 0 is the tool, 1 curl.
    std::vector<Run> runs[2];
    for (int round = -1; round < o.runs; ++round) {
      // Warm-up (round -1), then tool first in even rounds, curl first in odd ones.
      for (int k = 0; k < 2; ++k) {
        int which = (round < 0 || round % 2 == 0) ? k : 1 - k;
        std::size_t before = lineCount(readFile(o.accessLog));
        Run run = runProcess(which == 0 ? tool : curl, out, err);
        std::string printed = readFile(out);
        if (run.ok && printed != (which == 0 ? "ok\n" : "200")) {
          run.ok = false;
          run.why = "printed \"" + printed + "\"";
        }
        if (run.ok) run.why = checkServerRead(o.accessLog, before, size);
        if (!run.why.empty()) {
          run.ok = false;
          std::string errors = readFile(err);
          std::fprintf(stderr, "%ld MiB, %s: %s%s%s\n", mib, which == 0 ? "tool" : "curl", run.why.c_str(),
                       errors.empty() ? "" : "\n", errors.c_str());
          allOk = false;
        }
        // A failed run's time is not an upload's: only the others count.
        if (round >= 0 && run.ok) runs[which].push_back(run);
      }
    }
    Stats wall[2], cpu[2];
    for (int which = 0; which < 2; ++which) {
      const char* client = which == 0 ? "tool" : "curl";
      std::string label = std::to_string(mib) + " MiB";
      if (runs[which].empty()) {
        std::fprintf(stderr, "%ld MiB, %s: all %d runs failed\n", mib, client, o.runs);
        std::printf("%-8s %-9s %9s\n", label.c_str(), client, "no run succeeded");
        continue;
      }
      if (runs[which].size() < static_cast<std::size_t>(o.runs))
        std::fprintf(stderr, "%ld MiB, %s: %zu of %d runs failed; the figures are of the %zu that succeeded\n", mib,
                     client, static_cast<std::size_t>(o.runs) - runs[which].size(), o.runs, runs[which].size());
      std::vector<double> w, c;
      long peak = 0;
      for (const Run& r : runs[which]) {
        w.push_back(r.wall);
        c.push_back(r.cpu);
        peak = std::max(peak, r.peakKiB);
      }
      wall[which] = stats(w);
      cpu[which] = stats(c);
      char range[64];
      std::snprintf(range, sizeof range, "%.3f-%.3f", wall[which].min, wall[which].max);
      std::printf("%-8s %-9s %9.3f %19s %8.1f %8.3f %13.1f\n", label.c_str(), client, wall[which].median, range,
                  size / 1e6 / wall[which].median, cpu[which].median, peak / 1024.0);
    }
    if (!runs[0].empty() && !runs[1].empty())
      std::printf("%-8s %-9s %9.2f %19s %8s %8.2f\n", "", "tool/curl", wall[0].median / wall[1].median, "", "",
                  cpu[0].median / cpu[1].median);
    std::fflush(stdout);
    unlink(package.c_str());
  }
  return allOk ? 0 : 1;
}
