#pragma once
#include <gtest/gtest.h>

#include <string>

#include "system/logger.h"
#include "temp_dir.h"

namespace yoxa::testing {
// Runs `action` and returns the log lines it wrote (the process logger echoes them to standard error).
template <class Action>
std::string logged_by(Action&& action) {
  static const TempDir log_dir;
  if (!Logger::process().installed()) {
    (void)init_logger(log_dir.str());
    finish_logging();  // the header is written and its thread joined before any capture
  }
  set_log_echo(true);
  ::testing::internal::CaptureStderr();
  action();
  std::string lines = ::testing::internal::GetCapturedStderr();
  set_log_echo(false);
  return lines;
}
}  // namespace yoxa::testing
