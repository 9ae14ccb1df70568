#include "platform/process.h"

#include <algorithm>
#include <mutex>

#include "platform/windows/handle.h"
#include "platform/windows/spawn.h"

namespace yoxa::platform {

namespace win {
// Pipe ends are inheritable between CreatePipe and CreateProcessW; spawning one
// child at a time keeps another thread's child from inheriting them (and keeping
// our pipes open past our child's exit).
std::mutex& spawn_mutex() {
  static std::mutex mutex;
  return mutex;
}
}  // namespace win

namespace {
constexpr DWORD kPipeBuffer = 64 * 1024;
}  // namespace

struct ChildProcess::Impl {
  win::UniqueHandle process;
  win::UniqueHandle out_read;
  win::UniqueHandle err_read;
  std::string out;
  std::string err;
  bool out_done = false;
  bool err_done = false;
  std::size_t limit = std::string::npos;
  bool truncated = false;

  void keep(std::string& into, const char* data, std::size_t size) {
    const std::size_t room = limit > into.size() ? limit - into.size() : 0;
    into.append(data, std::min<std::size_t>(size, room));
    if (size > room) truncated = true;
  }

  // Reads what is available without blocking; `block` reads to the end.
  std::expected<void, OsError> drain(HANDLE pipe, std::string& into, bool& done, bool block) {
    char buffer[16 * 1024];
    while (!done) {
      if (!block) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
          const DWORD code = GetLastError();
          if (code == ERROR_BROKEN_PIPE) { done = true; return {}; }
          return std::unexpected(OsError{code, win::error_text(code)});
        }
        if (available == 0) return {};
      }
      DWORD read = 0;
      if (!ReadFile(pipe, buffer, sizeof buffer, &read, nullptr)) {
        const DWORD code = GetLastError();
        if (code == ERROR_BROKEN_PIPE) { done = true; return {}; }
        return std::unexpected(OsError{code, win::error_text(code)});
      }
      if (read == 0 && block) { done = true; return {}; }
      keep(into, buffer, read);
    }
    return {};
  }

  std::expected<void, OsError> drain_all(bool block) {
    if (auto r = drain(out_read.get(), out, out_done, block); !r) return r;
    return drain(err_read.get(), err, err_done, block);
  }
};

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

std::expected<ChildProcess, OsError> ChildProcess::start(const std::string& program,
                                                         const std::vector<std::string>& arguments) {
  auto impl = std::make_unique<Impl>();
  std::lock_guard lock(win::spawn_mutex());
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  win::UniqueHandle out_write;
  win::UniqueHandle err_write;
  if (!CreatePipe(impl->out_read.out(), out_write.out(), &inheritable, kPipeBuffer) ||
      !CreatePipe(impl->err_read.out(), err_write.out(), &inheritable, kPipeBuffer)) {
    return std::unexpected(win::last_error());
  }
  SetHandleInformation(impl->out_read.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(impl->err_read.get(), HANDLE_FLAG_INHERIT, 0);
  // Not our standard input: a run process keeps a synchronous read pending on it, and
  // Windows serialises synchronous I/O on one file object, so a child touching it could
  // wait for the launcher's next line.
  win::UniqueFileHandle null_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               &inheritable, OPEN_EXISTING, 0, nullptr));
  if (!null_input) return std::unexpected(win::last_error());

  auto spawned = win::spawn(program, arguments, {null_input.get(), out_write.get(), err_write.get()},
                            win::Window::Hidden);
  if (!spawned) return std::unexpected(spawned.error());
  impl->process = std::move(spawned->process);
  return ChildProcess(std::move(impl));
}

std::expected<std::optional<std::uint32_t>, OsError> ChildProcess::wait_for(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    if (auto drained = impl_->drain_all(false); !drained) return std::unexpected(drained.error());
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                            std::chrono::steady_clock::now());
    const DWORD slice = static_cast<DWORD>(std::clamp<long long>(left.count(), 0, 15));
    const DWORD state = WaitForSingleObject(impl_->process.get(), slice);
    if (state == WAIT_OBJECT_0) {
      DWORD code = 0;
      if (!GetExitCodeProcess(impl_->process.get(), &code)) return std::unexpected(win::last_error());
      return code;
    }
    if (state == WAIT_FAILED) return std::unexpected(win::last_error());
    if (left.count() <= 0) return std::nullopt;
  }
}

std::expected<void, OsError> ChildProcess::terminate(std::uint32_t exit_code) {
  if (!TerminateProcess(impl_->process.get(), exit_code)) return std::unexpected(win::last_error());
  return {};
}

std::expected<std::uint32_t, OsError> ChildProcess::wait() {
  while (true) {
    auto state = wait_for(std::chrono::milliseconds(250));
    if (!state) return std::unexpected(state.error());
    if (*state) return **state;
  }
}

std::expected<void, OsError> ChildProcess::finish_output() { return impl_->drain_all(true); }

const std::string& ChildProcess::standard_output() const { return impl_->out; }
const std::string& ChildProcess::standard_error() const { return impl_->err; }
void ChildProcess::limit_output(std::size_t bytes) { impl_->limit = bytes; }
bool ChildProcess::output_truncated() const { return impl_->truncated; }

}  // namespace yoxa::platform
