#include "platform/visible_process.h"

#include "core/windows_command_line.h"
#include "platform/windows/handle.h"

namespace yoxa::platform {

struct VisibleProcess::Impl {
  win::UniqueHandle process;
};

VisibleProcess::VisibleProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
VisibleProcess::VisibleProcess(VisibleProcess&&) noexcept = default;
VisibleProcess& VisibleProcess::operator=(VisibleProcess&&) noexcept = default;
VisibleProcess::~VisibleProcess() = default;

std::expected<VisibleProcess, OsError> VisibleProcess::start(const std::string& program,
                                                             const std::vector<std::string>& arguments) {
  std::wstring command_line = win::wide(build_windows_command_line(program, arguments));
  const std::wstring application = win::wide(program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // No creation flags: the installer's windows stay visible.
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return std::unexpected(win::last_error());
  }
  CloseHandle(info.hThread);
  auto impl = std::make_unique<Impl>();
  impl->process.reset(info.hProcess);
  return VisibleProcess(std::move(impl));
}

std::expected<std::uint32_t, OsError> VisibleProcess::wait() {
  if (WaitForSingleObject(impl_->process.get(), INFINITE) != WAIT_OBJECT_0) return std::unexpected(win::last_error());
  DWORD code = 0;
  if (!GetExitCodeProcess(impl_->process.get(), &code)) return std::unexpected(win::last_error());
  return code;
}

}  // namespace yoxa::platform
