// Waits until a log file gains a marker line after the probe started, then tries to
// change a file the way an attacker would: open it for writing, rename it, delete it.
// Prints "write=<error> move=<error> delete=<error>" (0 means it worked) and exits 0,
// or exits 3 when the marker never came within the given seconds.
// Usage: share_probe LOG MARKER TARGET SECONDS
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string read_from(const wchar_t* path, long long offset) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  LARGE_INTEGER at{};
  at.QuadPart = offset;
  std::string text;
  if (SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) text.append(buffer, read);
  }
  CloseHandle(file);
  return text;
}

long long size_of(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string narrow(const wchar_t* wide) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const wchar_t* log = argv[1];
  const std::string marker = narrow(argv[2]);
  const wchar_t* target = argv[3];
  const DWORD limit = static_cast<DWORD>(_wtoi(argv[4])) * 1000;
  const long long start = size_of(log);
  const DWORD began = GetTickCount();
  while (read_from(log, start).find(marker) == std::string::npos) {
    if (GetTickCount() - began > limit) return 3;
    Sleep(5);
  }
  HANDLE writer = CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  const DWORD write_error = writer == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  const std::wstring moved = std::wstring(target) + L".moved";
  const DWORD move_error = MoveFileExW(target, moved.c_str(), 0) ? 0 : GetLastError();
  if (move_error == 0) MoveFileExW(moved.c_str(), target, 0);
  const DWORD delete_error = DeleteFileW(target) ? 0 : GetLastError();
  std::printf("write=%lu move=%lu delete=%lu\n", write_error, move_error, delete_error);
  return 0;
}
