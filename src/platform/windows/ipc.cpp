#include "platform/ipc.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <vector>

#include "platform/windows/handle.h"
#include "platform/windows/spawn.h"
// After windows.h (through handle.h): the SDDL conversions.
#include <sddl.h>

namespace yoxa::platform {

namespace {
constexpr DWORD kInstances = 2;
constexpr DWORD kOutBuffer = 65536;
constexpr DWORD kInBuffer = 2048;

OsError os_error(DWORD code) { return OsError{code, win::error_text(code)}; }

// Non-blocking so that ConnectNamedPipe answers at once and the sender can count its attempts.
HANDLE create_instance(const std::wstring& name, bool first, SECURITY_ATTRIBUTES* security) {
  const DWORD open_mode = PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  const DWORD pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT | PIPE_REJECT_REMOTE_CLIENTS;
  return CreateNamedPipeW(name.c_str(), open_mode, pipe_mode, kInstances, kOutBuffer, kInBuffer, 0, security);
}

// The string SID of the user a process runs as: the invoking user, when `pid` is the run process.
std::expected<std::wstring, OsError> process_user_sid(std::uint32_t pid) {
  win::UniqueHandle process(pid ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid) : nullptr);
  if (pid && !process) return std::unexpected(win::last_error());
  win::UniqueHandle token;
  if (!OpenProcessToken(pid ? process.get() : GetCurrentProcess(), TOKEN_QUERY, token.out())) {
    return std::unexpected(win::last_error());
  }
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> buffer(size ? size : 1);
  if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return std::unexpected(win::last_error());
  }
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
    return std::unexpected(win::last_error());
  }
  const win::UniqueLocal owner(text);
  return std::wstring(text);
}

// Only the invoking user, Administrators and LocalSystem may open the pipe or add an
// instance to it; the default descriptor of an elevated token would leave that to chance.
std::expected<win::UniqueLocal, OsError> pipe_security_descriptor(std::uint32_t client_pid) {
  auto user = process_user_sid(client_pid);
  if (!user) return std::unexpected(user.error());
  const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + *user + L")";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return std::unexpected(win::last_error());
  }
  return win::UniqueLocal(descriptor);
}

// The server closed its end (109) or disconnected us (233): both are the end of the stream.
bool is_end_of_stream(DWORD code) { return code == ERROR_BROKEN_PIPE || code == ERROR_PIPE_NOT_CONNECTED; }
}  // namespace

// ---------------------------------------------------------------------------------------------
struct PipeServer::Impl {
  win::UniqueHandle connect_done;  // manual-reset event of the overlapped connect
  OVERLAPPED connect{};            // lives while a connect may still be pending
  bool connect_pending = false;
  std::wstring name;
  win::UniqueLocal descriptor;
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  win::UniqueFileHandle instance;
  win::UniqueFileHandle spare;
  win::UniqueHandle write_done;  // manual-reset event for the overlapped writes

  ~Impl() {
    // The system writes into `connect` until the pending connect has been cancelled.
    if (connect_pending && CancelIoEx(instance.get(), &connect)) {
      DWORD ignored = 0;
      (void)GetOverlappedResult(instance.get(), &connect, &ignored, TRUE);
    }
  }

  std::expected<PipeServer::AcceptState, OsError> connect_once();
};

// One ConnectNamedPipe on the overlapped instance, always with an OVERLAPPED: without one
// the call may report a connect as complete when it is not. In non-blocking mode a
// success only means the instance has started listening again (after a disconnect); a
// client shows up as ERROR_PIPE_CONNECTED. Should the call ever stay pending, its result
// is read on the next attempt.
std::expected<PipeServer::AcceptState, OsError> PipeServer::Impl::connect_once() {
  DWORD ignored = 0;
  if (connect_pending) {
    if (GetOverlappedResult(instance.get(), &connect, &ignored, FALSE)) {
      connect_pending = false;
      return AcceptState::Connected;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_IO_INCOMPLETE) return AcceptState::Listening;
    connect_pending = false;
    if (code == ERROR_NO_DATA) return AcceptState::ClientGone;
    return std::unexpected(os_error(code));
  }
  connect = OVERLAPPED{};
  connect.hEvent = connect_done.get();
  ResetEvent(connect.hEvent);
  if (ConnectNamedPipe(instance.get(), &connect)) return AcceptState::Listening;
  const DWORD code = GetLastError();
  switch (code) {
    case ERROR_PIPE_CONNECTED: return AcceptState::Connected;
    case ERROR_PIPE_LISTENING: return AcceptState::Listening;
    case ERROR_NO_DATA: return AcceptState::ClientGone;
    case ERROR_IO_PENDING: connect_pending = true; return AcceptState::Listening;
    default: return std::unexpected(os_error(code));
  }
}

PipeServer::PipeServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeServer::PipeServer(PipeServer&&) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&&) noexcept = default;
// Closing without DisconnectNamedPipe lets the client read what is still buffered
// before it sees the end of the stream.
PipeServer::~PipeServer() = default;

std::expected<PipeServer, OsError> PipeServer::create_first(const std::string& name, std::uint32_t client_pid) {
  auto impl = std::make_unique<Impl>();
  impl->name = win::wide(name);
  auto descriptor = pipe_security_descriptor(client_pid);
  if (!descriptor) return std::unexpected(descriptor.error());
  impl->descriptor = std::move(*descriptor);
  impl->security.lpSecurityDescriptor = impl->descriptor.get();
  impl->instance.reset(create_instance(impl->name, true, &impl->security));
  if (!impl->instance) return std::unexpected(win::last_error());
  impl->write_done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!impl->write_done) return std::unexpected(win::last_error());
  impl->connect_done.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!impl->connect_done) return std::unexpected(win::last_error());
  return PipeServer(std::move(impl));
}

std::expected<PipeServer::AcceptState, OsError> PipeServer::try_accept() { return impl_->connect_once(); }

std::expected<std::uint32_t, OsError> PipeServer::client_process_id() const {
  ULONG id = 0;
  if (!GetNamedPipeClientProcessId(impl_->instance.get(), &id)) return std::unexpected(win::last_error());
  return static_cast<std::uint32_t>(id);
}

std::expected<void, OsError> PipeServer::disconnect() {
  if (!DisconnectNamedPipe(impl_->instance.get())) return std::unexpected(win::last_error());
  return {};
}

std::expected<void, OsError> PipeServer::create_spare_instance() {
  win::UniqueFileHandle spare(create_instance(impl_->name, false, &impl_->security));
  if (!spare) return std::unexpected(win::last_error());
  impl_->spare = std::move(spare);
  return {};
}

std::expected<void, OsError> PipeServer::set_blocking() {
  DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
  if (!SetNamedPipeHandleState(impl_->instance.get(), &mode, nullptr, nullptr)) {
    return std::unexpected(win::last_error());
  }
  return {};
}

std::expected<void, OsError> PipeServer::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::numeric_limits<DWORD>::max()));
    OVERLAPPED overlapped{};
    overlapped.hEvent = impl_->write_done.get();
    ResetEvent(overlapped.hEvent);
    if (!WriteFile(impl_->instance.get(), bytes.data(), chunk, nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      return std::unexpected(win::last_error());
    }
    DWORD written = 0;
    if (!GetOverlappedResult(impl_->instance.get(), &overlapped, &written, TRUE)) {
      return std::unexpected(win::last_error());
    }
    if (written == 0) return std::unexpected(os_error(ERROR_WRITE_FAULT));
    bytes.remove_prefix(written);
  }
  return {};
}

std::expected<void, OsError> PipeServer::flush() {
  if (!FlushFileBuffers(impl_->instance.get())) return std::unexpected(win::last_error());
  return {};
}

// ---------------------------------------------------------------------------------------------
struct PipeClient::Impl {
  win::UniqueFileHandle pipe;
};

PipeClient::PipeClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeClient::PipeClient(PipeClient&&) noexcept = default;
PipeClient& PipeClient::operator=(PipeClient&&) noexcept = default;
PipeClient::~PipeClient() = default;

std::expected<PipeClient, PipeClient::OpenError> PipeClient::open(const std::string& name) {
  // Identification level only: whoever serves the name cannot act as this process.
  const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  win::UniqueFileHandle pipe(
      CreateFileW(win::wide(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, flags, nullptr));
  if (!pipe) {
    const DWORD code = GetLastError();
    const OpenFailure kind = code == ERROR_PIPE_BUSY ? OpenFailure::Busy : OpenFailure::Other;
    return std::unexpected(OpenError{kind, os_error(code)});
  }
  auto impl = std::make_unique<Impl>();
  impl->pipe = std::move(pipe);
  return PipeClient(std::move(impl));
}

std::expected<void, OsError> PipeClient::wait_until_free(const std::string& name, std::uint32_t limit_ms) {
  if (!WaitNamedPipeW(win::wide(name).c_str(), limit_ms)) return std::unexpected(win::last_error());
  return {};
}

std::expected<std::uint32_t, OsError> PipeClient::server_process_id() const {
  ULONG id = 0;
  if (!GetNamedPipeServerProcessId(impl_->pipe.get(), &id)) return std::unexpected(win::last_error());
  return static_cast<std::uint32_t>(id);
}

namespace {
struct ReadCompletion {
  DWORD error = 0;
  DWORD bytes = 0;
  bool done = false;
};

// ReadFileEx leaves hEvent to the caller: it carries the completion record.
VOID CALLBACK on_read_done(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
  auto* completion = static_cast<ReadCompletion*>(overlapped->hEvent);
  completion->error = error;
  completion->bytes = bytes;
  completion->done = true;
}
}  // namespace

std::expected<std::size_t, OsError> PipeClient::read(std::span<char> buffer) {
  if (buffer.empty()) return 0;
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::numeric_limits<DWORD>::max()));
  while (true) {
    ReadCompletion completion;
    OVERLAPPED overlapped{};
    overlapped.hEvent = &completion;
    if (!ReadFileEx(impl_->pipe.get(), buffer.data(), size, &overlapped, on_read_done)) {
      const DWORD code = GetLastError();
      if (is_end_of_stream(code)) return 0;
      return std::unexpected(os_error(code));
    }
    // The completion routine runs only inside an alertable wait of this thread.
    while (!completion.done) SleepEx(INFINITE, TRUE);
    if (completion.error != 0) {
      if (is_end_of_stream(completion.error)) return 0;
      return std::unexpected(os_error(completion.error));
    }
    // A zero-byte completion is not the end of a byte stream: read again.
    if (completion.bytes > 0) return completion.bytes;
  }
}

// ---------------------------------------------------------------------------------------------
struct NamedMutex::Impl {
  win::UniqueHandle mutex;
  bool owned = false;
  // ReleaseMutex must come from the creating thread; the owner keeps it on one thread.
  ~Impl() {
    if (owned) ReleaseMutex(mutex.get());
  }
};

NamedMutex::NamedMutex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;
NamedMutex& NamedMutex::operator=(NamedMutex&&) noexcept = default;
NamedMutex::~NamedMutex() = default;

std::expected<NamedMutex, OsError> NamedMutex::create_owned(const std::string& name, bool& already_exists) {
  auto impl = std::make_unique<Impl>();
  impl->mutex.reset(CreateMutexW(nullptr, TRUE, win::wide(name).c_str()));
  const DWORD code = GetLastError();
  if (!impl->mutex) return std::unexpected(os_error(code));
  already_exists = code == ERROR_ALREADY_EXISTS;
  impl->owned = !already_exists;
  return NamedMutex(std::move(impl));
}

// ---------------------------------------------------------------------------------------------
struct DetachedProcess::Impl {
  win::UniqueHandle process;
  std::uint32_t id = 0;
};

DetachedProcess::DetachedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DetachedProcess::DetachedProcess(DetachedProcess&&) noexcept = default;
DetachedProcess& DetachedProcess::operator=(DetachedProcess&&) noexcept = default;
DetachedProcess::~DetachedProcess() = default;

std::expected<DetachedProcess, OsError> DetachedProcess::start(const std::string& program,
                                                               const std::vector<std::string>& arguments,
                                                               StartMode mode) {
  // The null device must be inheritable to become the child's standard handles;
  // the spawn lock keeps other spawns' inheritable pipe ends out of this child.
  std::lock_guard lock(win::spawn_mutex());
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  win::UniqueFileHandle null_device(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                                                0, nullptr));
  if (!null_device) return std::unexpected(win::last_error());
  auto spawned = win::spawn(program, arguments, {null_device.get(), null_device.get(), null_device.get()},
                            mode == StartMode::Visible ? win::Window::Visible : win::Window::Hidden);
  if (!spawned) return std::unexpected(spawned.error());
  auto impl = std::make_unique<Impl>();
  impl->process = std::move(spawned->process);
  impl->id = spawned->id;
  return DetachedProcess(std::move(impl));
}

std::expected<DetachedProcess, OsError> DetachedProcess::start_elevated(const std::string& program,
                                                                        const std::string& parameters) {
  auto spawned = win::spawn_elevated(program, parameters);
  if (!spawned) return std::unexpected(spawned.error());
  auto impl = std::make_unique<Impl>();
  impl->process = std::move(spawned->process);
  impl->id = spawned->id;
  return DetachedProcess(std::move(impl));
}

std::uint32_t DetachedProcess::id() const { return impl_->id; }

std::expected<void, OsError> DetachedProcess::wait_ended() {
  const DWORD state = WaitForSingleObject(impl_->process.get(), INFINITE);
  if (state == WAIT_OBJECT_0) return {};
  if (state == WAIT_FAILED) return std::unexpected(win::last_error());
  return std::unexpected(OsError{state, format("the wait ended without the process ending (state {})", state)});
}

std::expected<std::uint32_t, OsError> DetachedProcess::exit_code() {
  DWORD code = 0;
  if (!GetExitCodeProcess(impl_->process.get(), &code)) return std::unexpected(win::last_error());
  return code;
}

std::expected<std::uint32_t, OsError> DetachedProcess::wait() {
  if (auto ended = wait_ended(); !ended) return std::unexpected(ended.error());
  return exit_code();
}

}  // namespace yoxa::platform
