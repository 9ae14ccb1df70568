#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace yoxa::platform {

// The worker's end of the event pipe: outbound byte stream, overlapped, remote
// clients rejected, at most 2 instances, out 65536 / in 2048 bytes, default time-out.
// Windows: CreateNamedPipeW. POSIX stand-in: an AF_UNIX socket whose path is derived
// from the pipe name under the temp directory.
class PipeServer {
 public:
  // The first instance of the name (first-instance flag), in non-blocking accept mode.
  // Windows: its access list grants the user of process `client_pid` (this process's own
  // user when 0), Administrators and LocalSystem, and nobody else.
  static std::expected<PipeServer, OsError> create_first(const std::string& name, std::uint32_t client_pid = 0);
  PipeServer(PipeServer&&) noexcept;
  PipeServer& operator=(PipeServer&&) noexcept;
  ~PipeServer();  // closes every instance

  enum class AcceptState : std::uint8_t {
    Connected,   // a client is connected (ERROR_PIPE_CONNECTED counts)
    Listening,   // no client yet (ERROR_PIPE_LISTENING): try again later
    ClientGone,  // a client came and went (ERROR_NO_DATA / 232): disconnect, ask again
  };
  // One non-blocking ConnectNamedPipe. Any other answer is an error.
  std::expected<AcceptState, OsError> try_accept();
  // The id of the connected client's process (GetNamedPipeClientProcessId; the peer's pid on POSIX).
  std::expected<std::uint32_t, OsError> client_process_id() const;
  std::expected<void, OsError> disconnect();
  // A second non-blocking instance for a later client.
  std::expected<void, OsError> create_spare_instance();
  // Switches the connected instance to blocking mode.
  std::expected<void, OsError> set_blocking();
  // Writes every byte (overlapped write, waited for).
  std::expected<void, OsError> write_all(std::string_view bytes);
  std::expected<void, OsError> flush();

  struct Impl;

 private:
  explicit PipeServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// The run process's end: opened by name for reading.
class PipeClient {
 public:
  enum class OpenFailure : std::uint8_t {
    Busy,   // the pipe exists but every instance is taken (ERROR_PIPE_BUSY)
    Other,  // typically: not created yet
  };
  struct OpenError {
    OpenFailure kind = OpenFailure::Other;
    OsError error;
  };
  static std::expected<PipeClient, OpenError> open(const std::string& name);
  // WaitNamedPipeW with the given limit (Wine may not wake an infinite wait).
  static std::expected<void, OsError> wait_until_free(const std::string& name, std::uint32_t limit_ms);

  PipeClient(PipeClient&&) noexcept;
  PipeClient& operator=(PipeClient&&) noexcept;
  ~PipeClient();

  // The id of the process serving the pipe (GetNamedPipeServerProcessId; the peer's pid on POSIX).
  std::expected<std::uint32_t, OsError> server_process_id() const;
  // Reads up to buffer.size() bytes; 0 at end of stream (server closed or disconnected).
  std::expected<std::size_t, OsError> read(std::span<char> buffer);

  struct Impl;

 private:
  explicit PipeClient(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// A named mutex created initially owned; released and closed on destruction.
// Windows: CreateMutexW(nullptr, TRUE, name). POSIX stand-in: an flock'ed file in the temp directory.
class NamedMutex {
 public:
  // The mutex when the call succeeded; `already_exists` tells whether another process
  // had created it first (ERROR_ALREADY_EXISTS: then this process does not own it).
  static std::expected<NamedMutex, OsError> create_owned(const std::string& name, bool& already_exists);
  NamedMutex(NamedMutex&&) noexcept;
  NamedMutex& operator=(NamedMutex&&) noexcept;
  ~NamedMutex();

  struct Impl;

 private:
  explicit NamedMutex(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// A child started with standard input, output and error on the null device, e.g. the
// worker copy of the engine (hidden: CREATE_NO_WINDOW) or an EXE installer (visible:
// it shows its own window).
enum class StartMode : std::uint8_t { Hidden, Visible };
class DetachedProcess {
 public:
  static std::expected<DetachedProcess, OsError> start(const std::string& program,
                                                       const std::vector<std::string>& arguments,
                                                       StartMode mode = StartMode::Hidden);
  // Through the UAC prompt ("runas"), with `parameters` as the whole argument text.
  // The OS error of the start; ERROR_CANCELLED (1223) when the user declined.
  // POSIX stand-in: an ordinary start with `parameters` as one argument.
  static std::expected<DetachedProcess, OsError> start_elevated(const std::string& program,
                                                                const std::string& parameters);
  DetachedProcess(DetachedProcess&&) noexcept;
  DetachedProcess& operator=(DetachedProcess&&) noexcept;
  ~DetachedProcess();  // closes the handle; does not end the child

  std::uint32_t id() const;
  // Blocks until the child has ended; its exit code (full 32 bits).
  std::expected<std::uint32_t, OsError> wait();
  // The two halves of wait(), for callers that report each failure on its own.
  std::expected<void, OsError> wait_ended();
  std::expected<std::uint32_t, OsError> exit_code();

  struct Impl;

 private:
  explicit DetachedProcess(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace yoxa::platform
