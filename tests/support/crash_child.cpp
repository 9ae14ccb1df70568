// Ends every process named like the first argument whose parent has that name too
// (the engine's worker, not the run process that started it) with the exit code
// of the second argument, as a crash would. Prints how many it ended.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <map>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fwprintf(stderr, L"usage: crash_child <image name> <exit code>\n");
    return 2;
  }
  const std::wstring image = argv[1];
  const auto code = static_cast<UINT>(std::wcstoul(argv[2], nullptr, 0));

  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 3;
  std::map<DWORD, std::pair<DWORD, std::wstring>> processes;  // pid -> (parent, name)
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    processes[entry.th32ProcessID] = {entry.th32ParentProcessID, entry.szExeFile};
  }
  CloseHandle(snapshot);

  int ended = 0;
  for (const auto& [pid, info] : processes) {
    const auto parent = processes.find(info.first);
    if (_wcsicmp(info.second.c_str(), image.c_str()) != 0 || parent == processes.end() ||
        _wcsicmp(parent->second.second.c_str(), image.c_str()) != 0) {
      continue;
    }
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) continue;
    if (TerminateProcess(process, code)) {
      WaitForSingleObject(process, 10000);
      ++ended;
    }
    CloseHandle(process);
  }
  std::wprintf(L"%d\n", ended);
  return ended > 0 ? 0 : 1;
}
