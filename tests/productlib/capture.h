// Captures what a call writes to standard output, at the descriptor, so that
// both stdio text and log lines are seen in the order they were written.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

template <typename Fn>
std::string captureStdout(Fn&& fn) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  fn();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}
