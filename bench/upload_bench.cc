// Upload benchmark: the tool's kernel-headers upload against the fake build
// service over loopback TLS, beside curl posting the same multipart body to
// the same service, for packages of 16 MiB and 256 MiB of incompressible
// bytes. Prints throughput and the tool's peak resident memory, which must
// not grow with the package: the package is streamed in pieces.
//
// Needs root (private namespaces) and curl. Run by hand:
//   cmake --build build --target upload_bench && build/bench/upload_bench
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "installer/state.h"
#include "installer/upload.h"
#include "tests/harness/build_service.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/servers.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kHost = "build.bench";
constexpr const char* kPeakFile = "/tmp/bench-peak-kib";

harness::BuildServiceRoutes routes() {
  harness::BuildServiceRoutes r;
  r.on("/process.php", {harness::replyOk("queued"), true});
  return r;
}

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

struct ToolRun {
  double seconds = 0;
  long peakKiB = 0;
  bool ok = false;
};

// The upload itself, in a fresh process (see runTool).
int uploadOnly(const char* package) {
  tarballPath = package;
  archFormValue = "2\n";
  buildServiceHost = kHost;
  silentMode = 1;
  uname(&systemUname);
  OptText reply;
  int count = uploadKernelHeaders(&reply);
  // The peak of this process image alone (the rusage of a child also
  // counts the pages it shared with its parent before the exec).
  std::string status = harness::readFile("/proc/self/status");
  std::size_t at = status.find("VmHWM:");
  FILE* out = std::fopen(kPeakFile, "w");
  if (out && at != std::string::npos) std::fputs(status.substr(at + 6, status.find('\n', at) - at - 6).c_str(), out);
  if (out) std::fclose(out);
  return count > 0 && reply && reply->find("queued") != std::string::npos ? 0 : 1;
}

// The upload in a new process image of its own, so that its peak memory is
// its own alone (the service in this process keeps every byte it receives).
ToolRun runTool(const std::string& package) {
  harness::FakeBuildService service(routes());
  ToolRun run;
  Clock::time_point start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    execl("/proc/self/exe", "upload_bench", "--upload-only", package.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.seconds = seconds(start);
  run.peakKiB = std::atol(harness::readFile(kPeakFile).c_str());
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return run;
}

// The same body as the tool sends, posted by curl.
double runCurl(const std::string& package, const std::string& pem, bool* ok) {
  archFormValue = "2\n";
  uname(&systemUname);
  std::string form = buildUploadForm();
  std::string body = "/tmp/bench-body";
  FILE* out = std::fopen(body.c_str(), "wb");
  std::fwrite(form.data(), 1, form.size(), out);
  std::fclose(out);
  harness::shell("cat " + harness::shellQuote(package) + " >> " + body);
  out = std::fopen(body.c_str(), "ab");
  std::fputs(kUploadClosingBoundary, out);
  std::fclose(out);

  harness::FakeBuildService service(routes(), 443, 0);
  Clock::time_point start = Clock::now();
  int status = 0;
  std::string answer = harness::shell(
      "curl -sk --cert " + pem + " --key " + pem +
          " -H 'Content-Type: multipart/form-data; boundary=---------------------------4664151417711'"
          " --data-binary @" + body + " https://" + kHost + "/process.php",
      &status);
  double taken = seconds(start);
  *ok = status == 0 && answer == "queued";
  harness::shell("rm -f " + body);
  return taken;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--upload-only") == 0) return uploadOnly(argv[2]);
  harness::Sandbox box;
  harness::useLoopbackNames(box, {kHost});
  std::string pem = "/tmp/bench-client.pem";
  box.writeFile(pem, clientKeyPem, 0600);

  std::printf("%-10s %14s %14s %18s\n", "package", "tool MiB/s", "curl MiB/s", "tool peak RSS MiB");
  for (int mib : {16, 256}) {
    std::string package = "/tmp/bench-package-" + std::to_string(mib);
    harness::shell("head -c " + std::to_string(mib) + "M /dev/urandom > " + package);
    ToolRun tool = runTool(package);
    bool curlOk = false;
    double curl = runCurl(package, pem, &curlOk);
    std::printf("%-10s %14.1f %14.1f %18.1f%s\n", (std::to_string(mib) + " MiB").c_str(), mib / tool.seconds,
                mib / curl, tool.peakKiB / 1024.0,
                tool.ok && curlOk ? "" : (tool.ok ? "  (curl failed)" : "  (tool failed)"));
    harness::shell("rm -f " + package);
  }
  return 0;
}
