// POSIX stand-in of the event pipe, the run mutex and the detached worker.
//
// A pipe is an AF_UNIX stream socket in the temp directory. What it models: first
// instance (the name is taken while a live server holds it), non-blocking accept,
// a client that came and went, busy (a full backlog), the server's process id,
// end of stream. What it does not: instance counts (the listening socket itself is
// the "spare instance"), remote-client rejection, and a flush that waits for the
// reader (a socket has none).
#include "platform/posix/fd.h"
#include "platform/ipc.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/system.h"

extern char** environ;

namespace yoxa::platform {

namespace {
using posix::errno_error;
using posix::Fd;

// A file in the temp directory standing for a Windows object name: the readable
// tail of the name plus a hash of the whole of it (socket paths are short).
std::string object_path(const std::string& name, std::string_view kind) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  std::string tail = name.substr(std::min(name.size(), name.find_last_of("\\/") + 1));
  if (tail.size() > 32) tail.erase(0, tail.size() - 32);
  for (char& c : tail) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    if (!plain) c = '_';
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (int shift = 60; shift >= 0; shift -= 4) hex += kDigits[(hash >> shift) & 0xF];
  return temp_directory() + "/yoxa-" + std::string(kind) + "-" + tail + "-" + hex;
}

std::expected<sockaddr_un, OsError> socket_address(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return std::unexpected(errno_error(ENAMETOOLONG));
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

std::expected<Fd, OsError> new_socket() {
  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return std::unexpected(errno_error(errno));
  return fd;
}

std::expected<void, OsError> set_nonblocking(int fd, bool nonblocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return std::unexpected(errno_error(errno));
  const int wanted = nonblocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (::fcntl(fd, F_SETFL, wanted) != 0) return std::unexpected(errno_error(errno));
  return {};
}

// Connects without blocking: a full backlog answers EAGAIN, the stand-in's "busy".
int connect_socket(int fd, const sockaddr_un& address) {
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}
}  // namespace

// ---------------------------------------------------------------------------------------------
struct PipeServer::Impl {
  std::string path;
  Fd listener;
  Fd client;
  ~Impl() {
    if (listener) ::unlink(path.c_str());
  }
};

PipeServer::PipeServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeServer::PipeServer(PipeServer&&) noexcept = default;
PipeServer& PipeServer::operator=(PipeServer&&) noexcept = default;
PipeServer::~PipeServer() = default;

// A socket in the temp directory has no access list of its own to set.
std::expected<PipeServer, OsError> PipeServer::create_first(const std::string& name, std::uint32_t) {
  auto impl = std::make_unique<Impl>();
  impl->path = object_path(name, "pipe");
  auto address = socket_address(impl->path);
  if (!address) return std::unexpected(address.error());
  auto fd = new_socket();
  if (!fd) return std::unexpected(fd.error());
  const auto bind_to = [&] { return ::bind(fd->get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address); };
  if (bind_to() != 0) {
    if (errno != EADDRINUSE) return std::unexpected(errno_error(errno));
    // The name is taken while a live server answers on it; a file left by a dead one is stale.
    auto probe = new_socket();
    if (!probe) return std::unexpected(probe.error());
    const int answer = connect_socket(probe->get(), *address);
    if (answer != ECONNREFUSED && answer != ENOENT) return std::unexpected(errno_error(EADDRINUSE));
    ::unlink(impl->path.c_str());
    if (bind_to() != 0) return std::unexpected(errno_error(errno));
  }
  if (::listen(fd->get(), 2) != 0) {
    const int code = errno;
    ::unlink(impl->path.c_str());
    return std::unexpected(errno_error(code));
  }
  impl->listener = std::move(*fd);
  return PipeServer(std::move(impl));
}

std::expected<PipeServer::AcceptState, OsError> PipeServer::try_accept() {
  if (!impl_->client) {
    Fd client(::accept4(impl_->listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return AcceptState::Listening;
      return std::unexpected(errno_error(errno));
    }
    impl_->client = std::move(client);
  }
  // A client that has already closed its end is the stand-in's ERROR_NO_DATA: it
  // stays attached until disconnect(), as the Windows instance does.
  pollfd state{impl_->client.get(), POLLRDHUP, 0};
  if (::poll(&state, 1, 0) > 0 && (state.revents & (POLLRDHUP | POLLHUP | POLLERR))) return AcceptState::ClientGone;
  return AcceptState::Connected;
}

std::expected<std::uint32_t, OsError> PipeServer::client_process_id() const {
  if (!impl_->client) return std::unexpected(errno_error(ENOTCONN));
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(impl_->client.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return std::unexpected(errno_error(errno));
  }
  return static_cast<std::uint32_t>(peer.pid);
}

std::expected<void, OsError> PipeServer::disconnect() {
  impl_->client.reset();
  return {};
}

// The listening socket keeps taking later clients into its backlog.
std::expected<void, OsError> PipeServer::create_spare_instance() { return {}; }

std::expected<void, OsError> PipeServer::set_blocking() {
  if (!impl_->client) return std::unexpected(errno_error(ENOTCONN));
  return set_nonblocking(impl_->client.get(), false);
}

std::expected<void, OsError> PipeServer::write_all(std::string_view bytes) {
  if (!impl_->client) return std::unexpected(errno_error(ENOTCONN));
  while (!bytes.empty()) {
    const ssize_t sent = ::send(impl_->client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd writable{impl_->client.get(), POLLOUT, 0};
        ::poll(&writable, 1, -1);
        continue;
      }
      return std::unexpected(errno_error(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return {};
}

std::expected<void, OsError> PipeServer::flush() {
  if (!impl_->client) return std::unexpected(errno_error(ENOTCONN));
  return {};
}

// ---------------------------------------------------------------------------------------------
struct PipeClient::Impl {
  Fd socket;
};

PipeClient::PipeClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeClient::PipeClient(PipeClient&&) noexcept = default;
PipeClient& PipeClient::operator=(PipeClient&&) noexcept = default;
PipeClient::~PipeClient() = default;

std::expected<PipeClient, PipeClient::OpenError> PipeClient::open(const std::string& name) {
  const auto other = [](const OsError& error) { return std::unexpected(OpenError{OpenFailure::Other, error}); };
  auto address = socket_address(object_path(name, "pipe"));
  if (!address) return other(address.error());
  auto fd = new_socket();
  if (!fd) return other(fd.error());
  if (const int code = connect_socket(fd->get(), *address); code != 0) {
    const OpenFailure kind = code == EAGAIN ? OpenFailure::Busy : OpenFailure::Other;
    return std::unexpected(OpenError{kind, errno_error(code)});
  }
  if (auto blocking = set_nonblocking(fd->get(), false); !blocking) return other(blocking.error());
  auto impl = std::make_unique<Impl>();
  impl->socket = std::move(*fd);
  return PipeClient(std::move(impl));
}

// A socket backlog has no "instance freed" signal: wait a little and let the caller retry.
std::expected<void, OsError> PipeClient::wait_until_free(const std::string&, std::uint32_t limit_ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(std::min<std::uint32_t>(limit_ms, 1)));
  return {};
}

std::expected<std::uint32_t, OsError> PipeClient::server_process_id() const {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(impl_->socket.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return std::unexpected(errno_error(errno));
  }
  return static_cast<std::uint32_t>(peer.pid);
}

std::expected<std::size_t, OsError> PipeClient::read(std::span<char> buffer) {
  while (true) {
    const ssize_t n = ::recv(impl_->socket.get(), buffer.data(), buffer.size(), 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    // A server that goes away with a client still queued resets it: also the end.
    if (errno == ECONNRESET) return 0;
    return std::unexpected(errno_error(errno));
  }
}

// ---------------------------------------------------------------------------------------------
struct NamedMutex::Impl {
  Fd file;  // flock'ed while owned; the lock goes with the descriptor
};

NamedMutex::NamedMutex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;
NamedMutex& NamedMutex::operator=(NamedMutex&&) noexcept = default;
NamedMutex::~NamedMutex() = default;

// Each call opens its own descriptor, so a second create in the same process also
// finds the name taken, as a second CreateMutexW does.
std::expected<NamedMutex, OsError> NamedMutex::create_owned(const std::string& name, bool& already_exists) {
  const std::string path = object_path(name, "mutex");
  Fd file(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!file) return std::unexpected(errno_error(errno));
  already_exists = false;
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return std::unexpected(errno_error(errno));
    already_exists = true;
  }
  auto impl = std::make_unique<Impl>();
  impl->file = std::move(file);
  return NamedMutex(std::move(impl));
}

// ---------------------------------------------------------------------------------------------
struct DetachedProcess::Impl {
  pid_t pid = -1;
  std::optional<std::uint32_t> exit_code;  // once reaped
};

DetachedProcess::DetachedProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DetachedProcess::DetachedProcess(DetachedProcess&&) noexcept = default;
DetachedProcess& DetachedProcess::operator=(DetachedProcess&&) noexcept = default;
DetachedProcess::~DetachedProcess() = default;

// Windows alone has windows to show or hide.
std::expected<DetachedProcess, OsError> DetachedProcess::start(const std::string& program,
                                                               const std::vector<std::string>& arguments,
                                                               StartMode) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  auto impl = std::make_unique<Impl>();
  const int rc = ::posix_spawn(&impl->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return std::unexpected(errno_error(rc));
  return DetachedProcess(std::move(impl));
}

// No prompt to show: the stand-in starts the copy as the same user.
std::expected<DetachedProcess, OsError> DetachedProcess::start_elevated(const std::string& program,
                                                                        const std::string& parameters) {
  return start(program, {parameters});
}

std::uint32_t DetachedProcess::id() const { return static_cast<std::uint32_t>(impl_->pid); }

std::expected<void, OsError> DetachedProcess::wait_ended() {
  if (impl_->exit_code) return {};
  int status = 0;
  while (::waitpid(impl_->pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(errno_error(errno));
  }
  impl_->exit_code = WIFEXITED(status) ? static_cast<std::uint32_t>(WEXITSTATUS(status))
                                       : 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return {};
}

std::expected<std::uint32_t, OsError> DetachedProcess::exit_code() {
  if (!impl_->exit_code) return std::unexpected(errno_error(ECHILD));
  return *impl_->exit_code;
}

std::expected<std::uint32_t, OsError> DetachedProcess::wait() {
  if (auto ended = wait_ended(); !ended) return std::unexpected(ended.error());
  return exit_code();
}

}  // namespace yoxa::platform
