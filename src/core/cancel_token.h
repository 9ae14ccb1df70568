#pragma once
#include <functional>
#include <string>

namespace yoxa {

// Whether the run has been cancelled, asked at the fixed checkpoints of every step.
// A run goes on while its quit file exists: the launcher's `cancel` (or an administrator)
// deletes it. Copies share the same question; asking never blocks for long.
class CancelToken {
 public:
  // A run that nothing can cancel.
  CancelToken() = default;
  // Cancelled once `path` is gone; a state that cannot be read counts as present, so a
  // flaky file system never cancels a run by itself.
  static CancelToken quit_file(std::string path);
  // Tests decide themselves.
  static CancelToken from(std::function<bool()> cancelled);

  bool cancelled() const { return check_ && check_(); }

 private:
  explicit CancelToken(std::function<bool()> check) : check_(std::move(check)) {}
  std::function<bool()> check_;
};

}  // namespace yoxa
