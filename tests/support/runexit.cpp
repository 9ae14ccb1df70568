// runexit CODEFILE PROGRAM [ARGS...]: runs PROGRAM with the rest of the command
// line as given, with our standard handles, and writes its full exit code to CODEFILE
// (which holds "started" while PROGRAM runs).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {
const wchar_t* skip_argument(const wchar_t* p) {
  bool quoted = false;
  while (*p && (quoted || (*p != L' ' && *p != L'\t'))) {
    if (*p == L'"') quoted = !quoted;
    ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 99;
  // A marker first, so the caller can tell "never started" (safe to retry) from "ran".
  if (FILE* marker = _wfopen(argv[1], L"w")) {
    std::fputs("started\n", marker);
    std::fclose(marker);
  }
  const wchar_t* rest = skip_argument(skip_argument(GetCommandLineW()));
  std::wstring command = rest;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    std::fwprintf(stderr, L"runexit: CreateProcessW failed: %lu\n", GetLastError());
    return 98;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  FILE* out = _wfopen(argv[1], L"w");
  if (!out) return 97;
  std::fprintf(out, "%lu\n", static_cast<unsigned long>(code));
  std::fclose(out);
  return 0;
}
