// A fresh directory under /tmp for each test of a fixture, removed after it
// whatever modes the test left on what it made there.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <string>

class ScratchDirTest : public testing::Test {
 protected:
  // The directory is "/tmp/<prefix>.XXXXXX".
  explicit ScratchDirTest(const char* prefix) : prefix_(prefix) {}

  void SetUp() override {
    std::string pattern = std::string("/tmp/") + prefix_ + ".XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("chmod -R u+rwx '" + dir_ + "'; rm -rf '" + dir_ + "'").c_str());
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;

 private:
  const char* prefix_;
};
