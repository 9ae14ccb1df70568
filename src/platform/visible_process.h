#pragma once
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"

namespace yoxa::platform {

// A child process started the ordinary way, so any window it opens is shown (an
// installer's own progress UI); it inherits no handles of ours.
class VisibleProcess {
 public:
  static std::expected<VisibleProcess, OsError> start(const std::string& program,
                                                      const std::vector<std::string>& arguments);
  VisibleProcess(VisibleProcess&&) noexcept;
  VisibleProcess& operator=(VisibleProcess&&) noexcept;
  ~VisibleProcess();

  // Blocks until the child has ended; its exit code.
  std::expected<std::uint32_t, OsError> wait();

  struct Impl;

 private:
  explicit VisibleProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace yoxa::platform
