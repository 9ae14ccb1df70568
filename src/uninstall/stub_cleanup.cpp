#include "uninstall/stub_cleanup.h"

#include <system_error>

#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "platform/os_error.h"

namespace yoxa {

namespace fs = std::filesystem;

namespace {
std::size_t named_components(const fs::path& path) {
  std::size_t count = 0;
  for (const fs::path& part : path.relative_path()) {
    if (!part.empty() && part != "." && part != "..") ++count;
  }
  return count;
}
}  // namespace

bool too_close_to_drive_root(const fs::path& directory) {
  // ".." is gone after normalising, so the count is the depth below the root.
  return named_components(directory.lexically_normal()) < 2;
}

void clean_up_uninstaller_stub(std::string_view display_name, const std::string& program) {
  std::error_code error;
  fs::path stub = fs::absolute(path_from_utf8(program), error);
  if (error) return;
  stub = stub.lexically_normal();
  if (!fs::is_regular_file(stub, error)) return;

  const fs::path directory = stub.parent_path();
  const std::string directory_text = path_to_utf8(directory);
  if (too_close_to_drive_root(directory)) {
    log::warn(format("{}: refusing to clean up '{}' \u2014 too close to the drive root", display_name, directory_text));
    return;
  }

  std::size_t entries = 0;
  bool only_the_stub = true;
  fs::directory_iterator listing(directory, error);
  for (; !error && listing != fs::directory_iterator(); listing.increment(error)) {
    ++entries;
    if (ascii_lower(path_to_utf8(listing->path().filename())) != ascii_lower(path_to_utf8(stub.filename()))) {
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
      log::warn(format("{}: could not delete the uninstaller stub '{}': {}", display_name, path_to_utf8(stub),
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
