#include "uninstall/stub_cleanup.h"

#include <algorithm>
#include <optional>
#include <ranges>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/file_links.h"
#include "platform/os_error.h"

namespace yoxa {

namespace fs = std::filesystem;

namespace {
bool is_drive(std::string_view text) {
  return text.size() >= 2 && text[1] == ':' &&
         ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'));
}

// How many directories deep `text` lies below its root. The parts that name the root do not
// count: a drive ("C:"), a share ("\\server\share"), a volume ("\\?\Volume{...}"), and the
// device prefixes "\\?\" and "\\.\" in front of a drive or share. ".." never climbs above the root.
std::size_t depth_below_root(std::string text) {
  std::ranges::replace(text, '/', '\\');
  bool device = false;
  if (text.starts_with("\\\\?\\") || text.starts_with("\\\\.\\")) {
    text = text.substr(4);
    device = true;
    if (ascii_lower(text).starts_with("unc\\")) {
      text = "\\\\" + text.substr(4);
      device = false;
    }
  }
  std::size_t root_parts = 0;
  if (text.starts_with("\\\\")) {
    root_parts = 2;
  } else if (is_drive(text)) {
    root_parts = 1;
    text.insert(2, 1, '\\');  // "C:dir" is below the drive too
  } else if (device) {
    // "\\?\Volume{...}" names a volume as "C:" does; "\\?\GLOBALROOT\Device\X" takes three parts.
    root_parts = ascii_lower(text).starts_with("globalroot\\") ? 3 : 1;
  }
  std::vector<std::string_view> parts;
  for (const auto piece : std::views::split(std::string_view(text), '\\')) {
    const std::string_view part(piece.begin(), piece.end());
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.size() > root_parts) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  return parts.size() > root_parts ? parts.size() - root_parts : 0;
}
}  // namespace

bool too_close_to_drive_root(const fs::path& directory) {
  return depth_below_root(path_to_utf8(directory)) < 2;
}

namespace {
// The first of `stub` and the directories above it that is a link, or the error that kept us
// from telling; none when the whole path is plain. A link anywhere would point our deletes
// at a folder that is not the uninstaller's.
std::optional<std::string> link_on_the_way(const fs::path& stub) {
  for (fs::path at = stub; !at.empty() && at != at.root_path(); at = at.parent_path()) {
    const std::string text = path_to_utf8(at);
    const auto link = platform::is_reparse_point(text);
    if (!link) return format("'{}' could not be examined: {}", printable(text), link.error().text);
    if (*link) return format("'{}' is a link (reparse point)", printable(text));
    if (at.parent_path() == at) break;
  }
  return std::nullopt;
}
}  // namespace

void clean_up_uninstaller_stub(std::string_view display_name, const std::string& program) {
  std::error_code error;
  fs::path stub = fs::absolute(path_from_utf8(program), error);
  if (error) return;
  stub = stub.lexically_normal();
  if (!fs::is_regular_file(stub, error)) return;

  const fs::path directory = stub.parent_path();
  const std::string directory_text = printable(path_to_utf8(directory));
  if (too_close_to_drive_root(directory)) {
    log::warn(format("{}: refusing to clean up '{}' \u2014 too close to the drive root", display_name, directory_text));
    return;
  }
  if (const auto link = link_on_the_way(stub)) {
    log::warn(format("{}: refusing to clean up '{}' \u2014 {}", display_name, directory_text, *link));
    return;
  }

  std::size_t entries = 0;
  bool only_the_stub = true;
  fs::directory_iterator listing(directory, error);
  for (; !error && listing != fs::directory_iterator(); listing.increment(error)) {
    ++entries;
    // A name with no Unicode form is not the stub (and must not throw out of the clean-up).
    const std::optional<std::string> name = path_to_utf8_checked(listing->path().filename());
    if (!name || ascii_lower(*name) != ascii_lower(path_to_utf8(stub.filename()))) {
      only_the_stub = false;
    }
  }
  if (error) {
    log::warn(format("{}: could not read '{}' to clean up the uninstaller: {}", display_name, directory_text,
                     platform::error_code_text(error)));
    return;
  }

  if (entries == 1 && only_the_stub) {
    if (!fs::remove(stub, error) || error) {
      log::warn(format("{}: could not delete the uninstaller stub '{}': {}", display_name, printable(path_to_utf8(stub)),
                       error ? platform::error_code_text(error) : std::string("it is gone")));
      return;
    }
    // remove() takes only an empty directory: anything that appeared meanwhile stays.
    if (!fs::remove(directory, error) || error) {
      log::warn(format("{}: uninstaller deleted, but '{}' could not be: {}", display_name, directory_text,
                       error ? platform::error_code_text(error) : std::string("it is gone")));
      return;
    }
    log::info(format("{}: removed the leftover uninstaller and '{}'", display_name, directory_text));
    return;
  }
  log::info(format("{}: leaving '{}' in place \u2014 {} entr(y/ies) remain besides the uninstaller", display_name,
                   directory_text, entries == 0 ? 0 : entries - 1));
}

}  // namespace yoxa
