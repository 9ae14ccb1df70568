#pragma once
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/os_error.h"

namespace yoxa::platform {

// A hidden child process whose standard output and error are captured through
// pipes; its standard input is the null device. The pipes are drained whenever the caller
// waits, so a chatty child never stalls on a full pipe.
class ChildProcess {
 public:
  static std::expected<ChildProcess, OsError> start(const std::string& program,
                                                    const std::vector<std::string>& arguments);
  ChildProcess(ChildProcess&&) noexcept;
  ChildProcess& operator=(ChildProcess&&) noexcept;
  ~ChildProcess();

  // Waits at most `limit` for the child to end, draining output meanwhile.
  // The exit code once it has ended; none while it still runs.
  std::expected<std::optional<std::uint32_t>, OsError> wait_for(std::chrono::milliseconds limit);
  std::expected<void, OsError> terminate(std::uint32_t exit_code);
  // Blocks until the child has ended.
  std::expected<std::uint32_t, OsError> wait();
  // Reads both pipes to their ends (after the child has ended).
  std::expected<void, OsError> finish_output();

  const std::string& standard_output() const;
  const std::string& standard_error() const;
  // Keeps at most `bytes` of each stream; the rest is still read, so the child never
  // stalls, but dropped. Whether anything was dropped.
  void limit_output(std::size_t bytes);
  bool output_truncated() const;

  struct Impl;

 private:
  explicit ChildProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace yoxa::platform
