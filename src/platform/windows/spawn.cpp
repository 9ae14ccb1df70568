#include "platform/windows/spawn.h"

#include <shellapi.h>

#include "core/windows_command_line.h"

namespace yoxa::platform::win {

std::expected<Spawned, OsError> spawn(const std::string& program, const std::vector<std::string>& arguments,
                                      const StandardHandles& handles, Window window) {
  std::wstring command_line = wide(build_windows_command_line(program, arguments));
  const std::wstring application = wide(program);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = handles.input;
  startup.hStdOutput = handles.output;
  startup.hStdError = handles.error;
  const DWORD flags = window == Window::Hidden ? CREATE_NO_WINDOW : 0;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                      &startup, &info)) {
    return std::unexpected(last_error());
  }
  const UniqueHandle thread(info.hThread);
  return Spawned{UniqueHandle(info.hProcess), info.dwProcessId};
}

std::expected<Spawned, OsError> spawn_elevated(const std::string& program, const std::string& parameters) {
  const std::wstring file = wide(program);
  const std::wstring tail = wide(parameters);
  SHELLEXECUTEINFOW execute{};
  execute.cbSize = sizeof execute;
  execute.fMask = SEE_MASK_NOCLOSEPROCESS;
  execute.lpVerb = L"runas";
  execute.lpFile = file.c_str();
  execute.lpParameters = tail.c_str();
  execute.nShow = SW_HIDE;
  if (!ShellExecuteExW(&execute)) return std::unexpected(last_error());
  UniqueHandle process(execute.hProcess);
  const DWORD id = process ? GetProcessId(process.get()) : 0;
  return Spawned{std::move(process), id};
}

std::expected<Spawned, OsError> spawn_as_user(HANDLE primary_token, void* environment,
                                              const std::string& command_line) {
  std::wstring text = wide(command_line);  // CreateProcessAsUserW may write into it
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessAsUserW(primary_token, nullptr, text.data(), nullptr, nullptr, FALSE,
                            CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, environment, nullptr, &startup, &info)) {
    return std::unexpected(last_error());
  }
  const UniqueHandle thread(info.hThread);
  return Spawned{UniqueHandle(info.hProcess), info.dwProcessId};
}

}  // namespace yoxa::platform::win
