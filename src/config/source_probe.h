#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

#include "config/installer_config.h"
#include "core/retirement.h"
#include "platform/http.h"

namespace yoxa {

// One GET of the download page after a package lookup came back "not found": any
// answer means the machine is online, so the CDN tree is gone (source-unavailable);
// a transport failure or a non-https page gives no verdict.
std::optional<Retirement> probe_source_unavailable(platform::HttpClient& client, const InstallerConfig& config);

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

// A package lookup returned 404: probe once per process.
void note_not_found();
// This process's verdict, if a probe has run.
std::optional<Retirement> source_unavailable_verdict();

}  // namespace yoxa
