#include "platform/windows/spawn.h"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>

#include "core/windows_command_line.h"

namespace yoxa::platform::win {

namespace {

// The standard handles as the one list a child may inherit: each once, none that is empty.
std::vector<HANDLE> inherited_handles(const StandardHandles& handles) {
  std::vector<HANDLE> list;
  for (HANDLE handle : {handles.input, handles.output, handles.error}) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) continue;
    if (std::find(list.begin(), list.end(), handle) == list.end()) list.push_back(handle);
  }
  return list;
}

// A process-thread attribute list that names exactly the handles a child inherits.
// Without it CreateProcessW with bInheritHandles hands over every inheritable handle
// of this process (the launcher's pipes, other children's pipe ends, open files).
class HandleListAttribute {
 public:
  explicit HandleListAttribute(std::vector<HANDLE> handles) : handles_(std::move(handles)) {}
  HandleListAttribute(const HandleListAttribute&) = delete;
  HandleListAttribute& operator=(const HandleListAttribute&) = delete;
  ~HandleListAttribute() {
    if (initialised_) DeleteProcThreadAttributeList(list());
  }

  std::expected<LPPROC_THREAD_ATTRIBUTE_LIST, OsError> build() {
    SIZE_T size = 0;
    (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) return std::unexpected(last_error());
    storage_ = std::make_unique<unsigned char[]>(size);
    if (!InitializeProcThreadAttributeList(list(), 1, 0, &size)) return std::unexpected(last_error());
    initialised_ = true;
    if (!UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      return std::unexpected(last_error());
    }
    return list();
  }

 private:
  LPPROC_THREAD_ATTRIBUTE_LIST list() { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get()); }

  std::vector<HANDLE> handles_;  // the attribute points into this: it lives as long as the list
  std::unique_ptr<unsigned char[]> storage_;
  bool initialised_ = false;
};

// ShellExecuteExW may hand the verb to shell extensions that need an apartment on this thread.
class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  // Only a successful initialisation (S_OK or S_FALSE) is balanced; a thread already in
  // another apartment answers RPC_E_CHANGED_MODE and stays as it was.
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }

 private:
  HRESULT result_;
};

// A "runas" start that gave no process handle (the documentation allows it when no new
// process was made) counts as failed: the worker could be neither waited for nor matched
// to the pipe's server.
std::expected<Spawned, OsError> elevated_start(UniqueHandle process) {
  if (!process) return std::unexpected(OsError{ERROR_INVALID_HANDLE, error_text(ERROR_INVALID_HANDLE)});
  const DWORD id = GetProcessId(process.get());
  if (id == 0) return std::unexpected(last_error());
  return Spawned{std::move(process), id};
}

}  // namespace

std::expected<Spawned, OsError> spawn(const std::string& program, const std::vector<std::string>& arguments,
                                      const StandardHandles& handles, Window window) {
  std::wstring command_line = wide(build_windows_command_line(program, arguments));
  const std::wstring application = wide(program);
  std::vector<HANDLE> inherited = inherited_handles(handles);
  const bool inherits = !inherited.empty();
  HandleListAttribute attribute(std::move(inherited));
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handles.input;
  startup.StartupInfo.hStdOutput = handles.output;
  startup.StartupInfo.hStdError = handles.error;
  DWORD flags = window == Window::Hidden ? CREATE_NO_WINDOW : 0;
  if (inherits) {
    auto list = attribute.build();
    if (!list) return std::unexpected(list.error());
    startup.lpAttributeList = *list;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(application.c_str(), command_line.data(), nullptr, nullptr, inherits ? TRUE : FALSE, flags,
                      nullptr, nullptr, &startup.StartupInfo, &info)) {
    return std::unexpected(last_error());
  }
  const UniqueHandle thread(info.hThread);
  return Spawned{UniqueHandle(info.hProcess), info.dwProcessId};
}

std::expected<Spawned, OsError> spawn_elevated(const std::string& program, const std::string& parameters) {
  const std::wstring file = wide(program);
  const std::wstring tail = wide(parameters);
  const ComApartment apartment;
  SHELLEXECUTEINFOW execute{};
  execute.cbSize = sizeof execute;
  // No error box: a silent run has nobody to close it. The caller reports the failure.
  execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  execute.lpVerb = L"runas";
  execute.lpFile = file.c_str();
  execute.lpParameters = tail.c_str();
  execute.nShow = SW_HIDE;
  if (!ShellExecuteExW(&execute)) return std::unexpected(last_error());
  UniqueHandle process(execute.hProcess);
  return elevated_start(std::move(process));
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
