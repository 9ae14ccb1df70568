// An executable installer for tests. It appends its arguments, one per line, to the file
// named by YOXA_TEST_INSTALLER_RECORD (or, when that is unset, "test_installer.args"
// next to this program), then exits with the code in YOXA_TEST_INSTALLER_EXIT
// (decimal; 0 when unset). With YOXA_TEST_INSTALLER_LINGER=N (Windows) it first starts a
// copy of itself that inherits every inheritable handle it has and lives N seconds more,
// as an installer that launches its app does.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
std::string narrow(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), size, nullptr, nullptr);
  return out;
}
std::wstring widen(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), L'\0');
  if (size > 1) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), size);
  return out;
}
std::string variable(const wchar_t* name) {
  const wchar_t* value = _wgetenv(name);
  return value ? narrow(value) : std::string();
}
std::string default_record() {
  wchar_t buffer[32768];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, 32768);
  std::string path = narrow(std::wstring(buffer, length).c_str());
  return path.substr(0, path.find_last_of("\\/") + 1) + "test_installer.args";
}
std::FILE* open_append(const std::string& path) { return _wfopen(widen(path).c_str(), L"ab"); }
#else
std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}
std::string default_record() { return "test_installer.args"; }
std::FILE* open_append(const std::string& path) { return std::fopen(path.c_str(), "ab"); }
#endif

int run(const std::vector<std::string>& arguments, std::string record, const std::string& exit_code) {
  if (record.empty()) record = default_record();
  if (std::FILE* file = open_append(record)) {
    for (const auto& argument : arguments) std::fprintf(file, "%s\n", argument.c_str());
    std::fclose(file);
  }
  return static_cast<int>(std::strtoul(exit_code.c_str(), nullptr, 10));
}

}  // namespace

#ifdef _WIN32
// The lingering copy: `test_installer --linger N`.
void start_lingering_copy(const std::string& seconds) {
  wchar_t self[32768];
  const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
  std::wstring command = L"\"" + std::wstring(self, length) + L"\" --linger " + widen(seconds);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                     &info)) {
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--linger") {
    Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) * 1000);
    return 0;
  }
  if (const std::string linger = variable(L"YOXA_TEST_INSTALLER_LINGER"); !linger.empty()) start_lingering_copy(linger);
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(narrow(argv[i]));
  return run(arguments, variable(L"YOXA_TEST_INSTALLER_RECORD"), variable(L"YOXA_TEST_INSTALLER_EXIT"));
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + 1, argv + argc), variable("YOXA_TEST_INSTALLER_RECORD"),
             variable("YOXA_TEST_INSTALLER_EXIT"));
}
#endif
