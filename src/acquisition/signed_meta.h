#pragma once
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "acquisition/release_sequence.h"
#include "config/installer_config.h"
#include "core/error.h"

namespace yoxa {

// What judging a signed meta.json needs besides the document: the sequence floor and the time.
struct MetaSigningContext {
  ReleaseSequenceStore& store;
  std::function<std::chrono::system_clock::time_point()> now;
};

// The machine's store and clock.
MetaSigningContext system_meta_signing();

// Accepts the exact bytes `text` of `url` (a meta.json for `app_id`) when `signature_text`
// (its meta.json.sig) is a valid signature of them by one of the configuration's keys and
// the document is for `app_id`, not past its `expires`, and not lower in `sequence` than
// the highest accepted here for that app and channel, which it then raises. Every refusal
// is the message of an unreadable meta.json, with the reason as detail.
Result<void> accept_signed_meta(const InstallerConfig& config, std::string_view app_id, const std::string& url,
                                std::string_view text, std::string_view signature_text,
                                const MetaSigningContext& context);

}  // namespace yoxa
