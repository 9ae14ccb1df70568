#include <gtest/gtest.h>

#include "core/system_program.h"

namespace yoxa {
namespace {

// Windows need not be on C:, and a failed directory query must not turn into a bare
// program name that the system would look for in the current directory.
TEST(SystemProgramPath, JoinsUnderTheReportedSystemDirectory) {
  const struct {
    const char* directory;
    const char* relative;
    const char* path;
  } cases[] = {
      {"C:\\Windows\\System32", "cmd.exe", "C:\\Windows\\System32\\cmd.exe"},
      {"D:\\WINNT\\system32", "WindowsPowerShell\\v1.0\\powershell.exe",
       "D:\\WINNT\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"},
      {"E:\\", "msiexec.exe", "E:\\msiexec.exe"},  // a drive root keeps its one separator
      {"\\\\server\\share\\System32", "icacls.exe", "\\\\server\\share\\System32\\icacls.exe"},
      {"", "cmd.exe", ""},                 // the query failed
      {"Windows\\System32", "cmd.exe", ""},  // relative: never searched from the current directory
      {"C:", "cmd.exe", ""},               // the current directory of drive C
      {"\\Windows\\System32", "cmd.exe", ""},  // the root of the current drive
      {"C:\\Windows\\System32", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(system_program_path(c.directory, c.relative), c.path) << c.directory << " + " << c.relative;
  }
}

}  // namespace
}  // namespace yoxa
