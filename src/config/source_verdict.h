#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

#include "core/retirement.h"

namespace yoxa {

// A verdict computed at most once, by the first caller of note(); concurrent
// callers wait for that one result.
class SourceVerdictCell {
 public:
  void note(const std::function<std::optional<Retirement>()>& probe);
  // The verdict when it has been computed; never computes it.
  std::optional<Retirement> get() const;

 private:
  std::once_flag once_;
  std::atomic<bool> computed_{false};
  std::optional<Retirement> verdict_;
};

// The process's one cell: the first package lookup that came back "not found" fills it.
SourceVerdictCell& source_verdict_cell();
// This process's verdict, if a probe has run.
std::optional<Retirement> source_unavailable_verdict();

}  // namespace yoxa
