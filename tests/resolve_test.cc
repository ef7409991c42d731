// Host lookup inside a private namespace: names from a bound hosts file,
// and a resolver configuration naming a loopback server that never answers.
#include "installer/resolve.h"

#include <gtest/gtest.h>

#include "tests/harness/sandbox.h"

namespace {

void layResolver(harness::Sandbox& box) {
  box.writeFile("/etc/hosts",
                "127.0.0.5 build.test\n127.0.0.6 multi.test\n127.0.0.7 multi.test\n");
  // Nothing listens there: a query is refused at once instead of waiting.
  box.writeFile("/etc/resolv.conf", "nameserver 127.0.0.53\noptions timeout:1 attempts:1\n");
}

TEST(ResolveSandboxTest, NamesFromTheHostsFile) {
  harness::Sandbox box;
  layResolver(box);
  EXPECT_EQ(ares_resolve("build.test"), "127.0.0.5");
  EXPECT_EQ(ares_resolve("multi.test"), "127.0.0.6");  // the first answer
}

TEST(ResolveSandboxTest, UnknownNameGivesEmptyTextAndTraces) {
  harness::Sandbox box;
  layResolver(box);
  debugEnabled = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ares_resolve("nowhere.invalid"), "");
  EXPECT_EQ(ares_resolve("build.test"), "127.0.0.5");
  std::string out = testing::internal::GetCapturedStdout();
  debugEnabled = 0;
  EXPECT_EQ(out,
            "debug: ares_resolve() Resolving Host: nowhere.invalid ...\n"
            "debug: ares_resolve() Failed to Resolve Host.\n"
            "debug: ares_resolve() Resolving Host: build.test ...\n"
            "debug: ares_resolve() Successfully resolved Host to 127.0.0.5\n");
}

}  // namespace
