#include "platform/posix/fd.h"
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

extern char** environ;

namespace yoxa::platform {

namespace {
using posix::errno_error;
using posix::Fd;
}  // namespace

struct ChildProcess::Impl {
  pid_t pid = -1;
  std::optional<std::uint32_t> exit_code;
  bool terminated_by_us = false;
  std::uint32_t termination_code = 1;
  Fd out_read;
  Fd err_read;
  std::string out;
  std::string err;
  std::size_t limit = std::string::npos;
  bool truncated = false;

  void keep(std::string& into, const char* data, std::size_t size) {
    const std::size_t room = limit > into.size() ? limit - into.size() : 0;
    into.append(data, std::min(size, room));
    if (size > room) truncated = true;
  }

  ~Impl() {
    if (pid > 0 && !exit_code) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  // Polls the pipes for up to `timeout_ms`, appending what arrives.
  void pump(int timeout_ms) {
    pollfd fds[2] = {{out_read.get(), POLLIN, 0}, {err_read.get(), POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) <= 0) return;
    char buffer[16 * 1024];
    Fd* pipes[2] = {&out_read, &err_read};
    std::string* sinks[2] = {&out, &err};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) keep(*sinks[i], buffer, static_cast<std::size_t>(n));
      else if (n == 0 || errno != EINTR) pipes[i]->reset();
    }
  }

  std::expected<bool, OsError> reap(bool block) {
    if (exit_code) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    if (r < 0) return std::unexpected(errno_error(errno));
    if (r == 0) return false;
    if (WIFEXITED(status)) exit_code = static_cast<std::uint32_t>(WEXITSTATUS(status));
    else if (terminated_by_us) exit_code = termination_code;
    else exit_code = 128u + static_cast<std::uint32_t>(WTERMSIG(status));
    return true;
  }
};

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

std::expected<ChildProcess, OsError> ChildProcess::start(const std::string& program,
                                                         const std::vector<std::string>& arguments) {
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return std::unexpected(errno_error(errno));
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    const int code = errno;
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return std::unexpected(errno_error(code));
  }
  auto impl = std::make_unique<Impl>();
  impl->out_read = Fd(out_pipe[0]);
  impl->err_read = Fd(err_pipe[0]);
  Fd out_write(out_pipe[1]);
  Fd err_write(err_pipe[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int rc = ::posix_spawn(&impl->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    impl->pid = -1;
    return std::unexpected(errno_error(rc));
  }
  return ChildProcess(std::move(impl));
}

std::expected<std::optional<std::uint32_t>, OsError> ChildProcess::wait_for(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    auto ended = impl_->reap(false);
    if (!ended) return std::unexpected(ended.error());
    if (*ended) return impl_->exit_code;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    const int slice = static_cast<int>(std::min<long long>(left, 15));
    if (impl_->out_read.get() < 0 && impl_->err_read.get() < 0) ::usleep(static_cast<useconds_t>(slice) * 1000);
    else impl_->pump(slice);
  }
}

std::expected<void, OsError> ChildProcess::terminate(std::uint32_t exit_code) {
  if (impl_->exit_code) return std::unexpected(errno_error(ESRCH));
  if (::kill(impl_->pid, SIGKILL) != 0) return std::unexpected(errno_error(errno));
  impl_->terminated_by_us = true;
  impl_->termination_code = exit_code;
  return {};
}

std::expected<std::uint32_t, OsError> ChildProcess::wait() {
  while (true) {
    auto state = wait_for(std::chrono::milliseconds(250));
    if (!state) return std::unexpected(state.error());
    if (*state) return **state;
  }
}

std::expected<void, OsError> ChildProcess::finish_output() {
  while (impl_->out_read.get() >= 0 || impl_->err_read.get() >= 0) impl_->pump(-1);
  return {};
}

const std::string& ChildProcess::standard_output() const { return impl_->out; }
const std::string& ChildProcess::standard_error() const { return impl_->err; }
void ChildProcess::limit_output(std::size_t bytes) { impl_->limit = bytes; }
bool ChildProcess::output_truncated() const { return impl_->truncated; }

}  // namespace yoxa::platform
