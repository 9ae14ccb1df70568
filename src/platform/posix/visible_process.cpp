#include "platform/visible_process.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

#include "platform/posix/fd.h"

extern char** environ;

namespace yoxa::platform {

struct VisibleProcess::Impl {
  pid_t pid = -1;
  bool reaped = false;
  ~Impl() {
    if (pid > 0 && !reaped) ::waitpid(pid, nullptr, 0);  // never leave a zombie behind
  }
};

VisibleProcess::VisibleProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VisibleProcess::VisibleProcess(VisibleProcess&&) noexcept = default;
VisibleProcess& VisibleProcess::operator=(VisibleProcess&&) noexcept = default;
VisibleProcess::~VisibleProcess() = default;

std::expected<VisibleProcess, OsError> VisibleProcess::start(const std::string& program,
                                                             const std::vector<std::string>& arguments) {
  std::vector<std::string> owned{program};
  owned.insert(owned.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : owned) argv.push_back(argument.data());
  argv.push_back(nullptr);
  auto impl = std::make_unique<Impl>();
  const int failed = ::posix_spawn(&impl->pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (failed != 0) return std::unexpected(posix::errno_error(failed));
  return VisibleProcess(std::move(impl));
}

std::expected<std::uint32_t, OsError> VisibleProcess::wait() {
  int status = 0;
  while (::waitpid(impl_->pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(posix::errno_error(errno));
  }
  impl_->reaped = true;
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  return static_cast<std::uint32_t>(128 + WTERMSIG(status));
}

}  // namespace yoxa::platform
