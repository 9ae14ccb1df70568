#pragma once
// The one way a privileged process gets a directory to write in: every level below a
// root it trusts is either created with its final protected access list or checked
// (no link, trusted owner, nobody else may change it); a level that fails the check is
// moved aside and made afresh, or the caller gets the reason and writes nothing there.
#include <expected>
#include <string>

#include "platform/trusted_dir.h"

namespace yoxa {

// `directory` must lie below `root` (ProgramData, the LocalSystem temporary directory,
// Program Files), which is trusted as it is. Levels in between may be read and
// traversed by Users; the last one gets `readers`. The error is the reason, for the
// caller's detail text; what happened is logged (lines held until a logger opens are kept).
std::expected<void, std::string> ensure_trusted_directory(const std::string& root, const std::string& directory,
                                                          platform::DirectoryReaders readers,
                                                          platform::DirectoryTrust& trust);
std::expected<void, std::string> ensure_trusted_directory(const std::string& root, const std::string& directory,
                                                          platform::DirectoryReaders readers);

// Why an existing entry cannot be written through; empty when it can.
std::string untrusted_reason(const platform::DirectoryFacts& facts);

}  // namespace yoxa
