// Holds a file open without sharing, as another program writing its log would: opens
// (creating if needed) the file named by its one argument with no share mode, prints
// "locked" and a line feed, and keeps it so until its standard input ends.
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: file_locker PATH\n", stderr);
    return 2;
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open the file: error %lu\n", GetLastError());
    return 1;
  }
  std::fputs("locked\n", stdout);
  std::fflush(stdout);
  char buffer[256];
  DWORD read = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) && read > 0) {
  }
  CloseHandle(file);
  return 0;
}
