#include "front_end/stdin_commands.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "core/paths.h"
#include "core/protocol_event.h"
#include "core/text.h"
#include "front_end/emit.h"
#include "platform/system.h"
#include "core/log.h"

namespace yoxa {

namespace {
void cancel_whole_run(const std::string& quit_file) {
  log::info("cancel received via stdin \u2014 releasing quit-file");
  std::error_code ignored;
  std::filesystem::remove(path_from_utf8(quit_file), ignored);
}
}  // namespace

bool handle_stdin_line(std::string_view line, const std::string& quit_file) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (!is_valid_utf8(line)) return false;
  line = trim(line);
  if (line.empty()) return true;

  Json command;
  try {
    command = Json::parse(line);
  } catch (const Json::exception& error) {
    log::warn(format("undecodable stdin line: {}", error.what()));
    return true;
  }
  const Json* type = nullptr;
  if (command.is_object()) {
    if (const auto it = command.find("type"); it != command.end() && it->is_string()) type = &*it;
  }
  if (type != nullptr && *type == "cancel") {
    if (const auto app = command.find("app"); app != command.end() && !app->is_null()) {
      emit_log("warn", "per-app cancel is not supported on Windows; use whole-run cancel");
    } else {
      cancel_whole_run(quit_file);
    }
  } else if (type == nullptr || *type != "prompt-response") {
    log::warn(format("unknown stdin command: {}", type != nullptr ? type->get<std::string>() : "<missing>"));
  }
  return true;
}

void handle_overlong_stdin_line() {
  log::warn(format("undecodable stdin line: longer than {} bytes", kMaxStdinLine));
}

namespace {
class StandardInput final : public ByteSource {
 public:
  std::optional<std::string> read() override { return platform::read_standard_input(); }
};
}  // namespace

std::unique_ptr<ByteSource> standard_input_source() { return std::make_unique<StandardInput>(); }

struct StdinCommands::Shared {
  std::mutex mutex;
  bool stopped = false;
};

StdinCommands::StdinCommands(std::unique_ptr<ByteSource> source, std::string quit_file)
    : shared_(std::make_shared<Shared>()) {
  auto reader = std::make_unique<LineReader>(std::move(source), kMaxStdinLine);
  std::thread([shared = shared_, reader = std::move(reader), quit_file = std::move(quit_file)] {
    while (const auto line = reader->next()) {
      // Handling happens under the lock, so once the owner has stopped us nothing
      // of the process (logger, standard output) is touched again.
      std::lock_guard lock(shared->mutex);
      if (shared->stopped) return;
      if (line->too_long) {
        handle_overlong_stdin_line();
      } else if (!handle_stdin_line(line->text, quit_file)) {
        return;
      }
    }
  }).detach();
}

StdinCommands::~StdinCommands() {
  std::lock_guard lock(shared_->mutex);
  shared_->stopped = true;
}

}  // namespace yoxa
