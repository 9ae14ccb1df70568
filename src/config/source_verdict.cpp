#include "config/source_verdict.h"

namespace yoxa {

void SourceVerdictCell::note(const std::function<std::optional<Retirement>()>& probe) {
  std::call_once(once_, [&] {
    verdict_ = probe();
    computed_.store(true, std::memory_order_release);
  });
}

std::optional<Retirement> SourceVerdictCell::get() const {
  if (!computed_.load(std::memory_order_acquire)) return std::nullopt;
  return verdict_;
}

SourceVerdictCell& source_verdict_cell() {
  static SourceVerdictCell cell;
  return cell;
}

std::optional<Retirement> source_unavailable_verdict() { return source_verdict_cell().get(); }

}  // namespace yoxa
