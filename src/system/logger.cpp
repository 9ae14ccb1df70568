#include "system/logger.h"

#include <filesystem>
#include <utility>

#include "core/paths.h"
#include "platform/system.h"
#include "platform/trusted_dir.h"
#include "platform/os_error.h"

namespace yoxa {

namespace fs = std::filesystem;

std::string format_log_line(LogLevel level, std::chrono::milliseconds elapsed, std::string_view message) {
  static constexpr const char* kNames[] = {"ERROR", "WARN ", "INFO ", "DEBUG", "TRACE"};
  const auto total = static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed.count(), 0));
  const std::uint64_t millis = total % 1000;
  const std::uint64_t seconds = (total / 1000) % 60;
  const std::uint64_t minutes = (total / 60000) % 60;
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02u:%02u.%03u", static_cast<unsigned>(minutes), static_cast<unsigned>(seconds),
                static_cast<unsigned>(millis));
  std::string line;
  line.reserve(message.size() + 20);
  line += '[';
  line += kNames[static_cast<std::size_t>(level)];
  line += ' ';
  line += stamp;
  line += "] ";
  line += message;
  return line;
}

std::expected<void, std::string> Logger::init(const std::string& directory) {
  std::call_once(start_once_, [this] { start_ = std::chrono::steady_clock::now(); });
  // A second set-up must not rotate the file the first logger writes.
  if (installed()) return std::unexpected(std::string("SetLoggerError"));

  const fs::path dir = path_from_utf8(directory);
  std::error_code error;
  // Only a missing directory is created: anything else in its place leaves the logger without a file.
  if (!fs::exists(dir, error)) {
    fs::create_directories(dir, error);
    if (error) return std::unexpected(platform::error_code_text(error));
  }

  const fs::path log_path = dir / "installer.log";
  const fs::path previous_path = dir / "installer.log.1";
  std::optional<std::string> rotation_warning;
  // The library follows links for the size, the delete and the rename (and mingw's sees
  // none), so a planted link is refused here before anything touches it.
  const bool log_is_link = platform::is_link_entry(path_to_utf8(log_path));
  const auto size = log_is_link ? std::uintmax_t{0} : fs::file_size(log_path, error);
  if (!log_is_link && !error && size >= kLogRotationBytes) {
    if (platform::is_link_entry(path_to_utf8(previous_path))) {
      rotation_warning = "Could not rotate installer.log: installer.log.1 is a link; continuing to append";
    } else {
      fs::remove(previous_path, error);
      fs::rename(log_path, previous_path, error);
      if (error) rotation_warning = format("Could not rotate installer.log: {}; continuing to append", platform::error_code_text(error));
    }
  }

  std::lock_guard install_lock(install_mutex_);
  if (installed()) return std::unexpected(std::string("SetLoggerError"));
  {
    std::lock_guard file_lock(file_mutex_);
    if (!log_is_link) file_.reset(platform::open_file(path_to_utf8(log_path), "ab"));
    // The session line goes first; every other line, also one held before the file was
    // open, waits behind the date line.
    write_to_file(stamped(LogLevel::Info, "--- New Application Session Started ---"));
    header_pending_ = true;
  }
  installed_.store(true, std::memory_order_release);
  holding_.store(false, std::memory_order_release);
  if (this == &process()) install_writer();
  // Stamped now, when the date was asked for, so the file's times never go backwards.
  const auto asked = std::chrono::steady_clock::now() - start_;
  header_thread_ = std::thread([this, asked] {
    // A short process answers its caller first: the interpreter's start would compete with it.
    {
      std::unique_lock lock(finish_mutex_);
      finish_asked_.wait_for(lock, kHeaderDelay, [this] { return finishing_; });
    }
    std::string line =
        format_log_line(LogLevel::Info, std::chrono::duration_cast<std::chrono::milliseconds>(asked),
                        format("System Date/Time: {}", system_date_time()));
    line += '\n';
    if (echo_.load(std::memory_order_relaxed)) platform::write_standard_error(line);
    std::lock_guard lock(file_mutex_);
    header_pending_ = false;
    write_to_file(line + std::exchange(held_, {}));
  });
  if (rotation_warning) write(LogLevel::Warn, *rotation_warning);
  return {};
}

void Logger::hold() {
  std::call_once(start_once_, [this] { start_ = std::chrono::steady_clock::now(); });
  std::lock_guard install_lock(install_mutex_);
  if (installed()) return;
  holding_.store(true, std::memory_order_release);
  if (this == &process()) install_writer();
}

void Logger::install_writer() {
  log::set_writer([](LogLevel level, std::string_view message) { process().write(level, message); });
}

std::string Logger::stamped(LogLevel level, std::string_view message) const {
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
  std::string line = format_log_line(level, elapsed, message);
  line += '\n';
  if (echo_.load(std::memory_order_relaxed)) platform::write_standard_error(line);
  return line;
}

void Logger::finish() {
  {
    std::lock_guard lock(finish_mutex_);
    finishing_ = true;
  }
  finish_asked_.notify_all();
  std::lock_guard install_lock(install_mutex_);
  if (header_thread_.joinable()) header_thread_.join();
}

void Logger::write_to_file(std::string_view text) {
  if (!file_) return;
  // A failed write must not silence the next line.
  if (std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size() || std::fflush(file_.get()) != 0) {
    std::clearerr(file_.get());
  }
}

void Logger::write(LogLevel level, std::string_view message) {
  if (level > LogLevel::Info || !(installed() || holding_.load(std::memory_order_acquire))) return;
  std::string line = stamped(level, message);
  std::lock_guard lock(file_mutex_);
  if (header_pending_ || !installed()) {
    held_ += line;
    return;
  }
  write_to_file(line);
}

Logger& Logger::process() {
  // Never destroyed: joining the header's thread during the exit sequence can deadlock on
  // the runtime's exit lock; a process ends through finish_logging() instead.
  static Logger& logger = *new Logger;
  return logger;
}

std::expected<void, std::string> init_logger(const std::string& directory) {
  return Logger::process().init(directory);
}

void hold_log_lines() { Logger::process().hold(); }

void set_log_echo(bool echo) { Logger::process().set_echo(echo); }

void finish_logging() { Logger::process().finish(); }

std::string system_date_time() {
  const auto command = platform::date_time_command();
  auto child = platform::ChildProcess::start(command.program, command.leading_arguments);
  if (!child) return "command error";
  // Bounded like every other external program: an interpreter that hangs must not keep
  // the held log lines (and finish_logging) waiting for ever.
  const auto ended = child->wait_for(kDateTimeLimit);
  if (!ended || !*ended) {
    (void)child->terminate(1);
    (void)child->wait();
    return "command error";
  }
  (void)child->finish_output();
  return std::string(trim(utf8_lossy(child->standard_output())));
}

}  // namespace yoxa
