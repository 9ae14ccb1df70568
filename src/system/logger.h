#pragma once
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <expected>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "core/log.h"
#include "core/text.h"

namespace yoxa {

// "[INFO  00:01.250] message": level padded to five, minutes within the hour,
// seconds and milliseconds since the logger started.
std::string format_log_line(LogLevel level, std::chrono::milliseconds elapsed, std::string_view message);

inline constexpr std::uint64_t kLogRotationBytes = 5ull * 1024 * 1024;
// How long the header's interpreter waits for the process to be done with its own work;
// lines logged meanwhile are held back, so the wait stays short.
inline constexpr std::chrono::milliseconds kHeaderDelay{300};
// The longest the header's interpreter may run before it is ended ("command error").
inline constexpr std::chrono::seconds kDateTimeLimit{10};

// One diagnostic log: installer.log in a directory, rotated once at 5 MiB,
// every line written through before the call returns.
class Logger {
 public:
  Logger() = default;
  ~Logger() { finish(); }
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Creates the directory, rotates and opens installer.log and writes the opening
  // header. Fails with the OS error text, or "SetLoggerError" when already set up.
  std::expected<void, std::string> init(const std::string& directory);
  // Until init(), lines are kept in memory instead of dropped; init() writes them after
  // the header. For a process that must not create its log file yet.
  void hold();
  bool installed() const { return installed_.load(std::memory_order_acquire); }
  void set_echo(bool echo) { echo_.store(echo, std::memory_order_relaxed); }
  void write(LogLevel level, std::string_view message);
  // Waits until the opening header and every line held back behind it are in the file.
  void finish();

  // The engine's one process-wide logger.
  static Logger& process();

 private:
  void write_to_file(std::string_view text);  // under file_mutex_
  // The line as the file and the echo show it, echoed already.
  std::string stamped(LogLevel level, std::string_view message) const;
  static void install_writer();

  std::once_flag start_once_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<bool> installed_{false};
  std::atomic<bool> holding_{false};
  std::atomic<bool> echo_{false};
  std::mutex install_mutex_;
  std::mutex file_mutex_;
  // Opened through the seam, so no child process inherits it.
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file_{nullptr, &std::fclose};
  // The header's date comes from a child process; until it answers, lines wait here so
  // that the header stays first in the file without the caller waiting for it.
  bool header_pending_ = false;
  std::string held_;
  std::mutex finish_mutex_;
  std::condition_variable finish_asked_;
  bool finishing_ = false;
  std::thread header_thread_;
};

std::expected<void, std::string> init_logger(const std::string& directory);
// The process logger keeps lines until init_logger() gives it its file.
void hold_log_lines();
void set_log_echo(bool echo);
// Before the process ends: the log file is complete once this returns.
void finish_logging();

// Wall-clock date and time as printed by the command interpreter; "command error"
// when it cannot be started.
std::string system_date_time();

}  // namespace yoxa
