#include "uninstall/uninstall_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "core/text.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "uninstall/folder_guard.h"
#include "uninstall/stub_cleanup.h"

namespace yoxa {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testing::logged_by;
using testing::TempDir;

TEST(UninstallCommand, SplitsProgramAndArgumentsOfHostileText) {
  const struct {
    const char* text;
    const char* program;
    Strings arguments;
  } cases[] = {
      {R"("C:\Program Files\Yoxa Quill\uninst.exe" /S  --keep)", R"(C:\Program Files\Yoxa Quill\uninst.exe)",
       {"/S", "--keep"}},
      {R"(MsiExec.exe /X{1234-5678})", "MsiExec.exe", {"/X{1234-5678}"}},
      {R"("C:\a b\u.exe"/S)", R"(C:\a b\u.exe)", {"/S"}},
      // An unbalanced quote is no quote at all: the program keeps it and will not start.
      {R"("C:\Program Files\u.exe /S)", R"("C:\Program)", {R"(Files\u.exe)", "/S"}},
      // Quotes inside arguments are not interpreted.
      {R"(u.exe "a b" c)", "u.exe", {R"("a)", R"(b")", "c"}},
      {R"("" /S)", "", {"/S"}},
      {"\"", "\"", {}},
      {"", "", {}},
      {" \t ", "", {}},
  };
  for (const auto& c : cases) {
    const UninstallCommand command = split_uninstall_command(c.text);
    EXPECT_EQ(command.program, c.program) << c.text;
    EXPECT_EQ(command.arguments, c.arguments) << c.text;
  }
}

TEST(UninstallCommand, RecognisesMsiexecByFileStemOnly) {
  for (const char* program : {"msiexec", "MsiExec.exe", R"(C:\WINDOWS\System32\MSIEXEC.EXE)", "C:/x/msiexec.com"}) {
    EXPECT_TRUE(is_msiexec(program)) << program;
  }
  for (const char* program : {R"(C:\msiexec\setup.exe)", "msiexec.exe.bak", "not-msiexec.exe", ""}) {
    EXPECT_FALSE(is_msiexec(program)) << program;
  }
}

TEST(UninstallCommand, AddsOnlyTheMissingMsiexecSwitches) {
  const std::optional<std::string> log = R"(C:\logs\uninstall-quill.log)";
  const struct {
    Strings given;
    std::optional<std::string> log_path;
    Strings expected;
  } cases[] = {
      {{"/X{CODE}"}, log, {"/X{CODE}", "/qn", "/norestart", "/l*v", *log}},
      {{"/X{CODE}", "/quiet", "/L*V", "own.log"}, log, {"/X{CODE}", "/quiet", "/L*V", "own.log", "/norestart"}},
      {{"/x", "{CODE}", "/QN", "/NoRestart", "/lv", "x.log"}, log, {"/x", "{CODE}", "/QN", "/NoRestart", "/lv", "x.log"}},
      {{"/X{CODE}"}, std::nullopt, {"/X{CODE}", "/qn", "/norestart"}},
  };
  for (const auto& c : cases) {
    Strings arguments = c.given;
    add_msiexec_switches(arguments, c.log_path);
    EXPECT_EQ(arguments, c.expected);
  }
}

TEST(UninstallCommand, RunsNsisUninstallersSilentlyInPlace) {
  const std::string program = R"(C:\Program Files\Yoxa Quill\uninst.exe)";
  EXPECT_EQ(nsis_install_dir(program, R"(  D:\Apps\Quill\\  )"), R"(D:\Apps\Quill)");
  EXPECT_EQ(nsis_install_dir(program, std::nullopt), R"(C:\Program Files\Yoxa Quill)");
  EXPECT_EQ(nsis_install_dir(program, "   "), R"(C:\Program Files\Yoxa Quill)");
  EXPECT_EQ(nsis_install_dir("uninst.exe", std::nullopt), std::nullopt);
  EXPECT_EQ(nsis_install_dir(R"(\uninst.exe)", std::nullopt), std::nullopt);

  Strings arguments;
  EXPECT_TRUE(add_nsis_switches(arguments, R"(C:\App)"));
  EXPECT_EQ(arguments, (Strings{"/S", R"(_?=C:\App)"}));

  arguments = {"/s", "_?=D:\\Given"};
  EXPECT_TRUE(add_nsis_switches(arguments, R"(C:\App)"));
  EXPECT_EQ(arguments, (Strings{"/s", "_?=D:\\Given"}));

  arguments = {};
  EXPECT_FALSE(add_nsis_switches(arguments, std::nullopt));
  EXPECT_EQ(arguments, Strings{"/S"});
}

TEST(FolderGuard, RefusesTheSystemsAndTheUsersFoldersForAnInPlaceUninstaller) {
  const std::map<std::string, std::string> environment = {{"SystemRoot", R"(C:\Windows)"},
                                                          {"ProgramFiles", R"(C:\Program Files)"},
                                                          {"ProgramData", R"(D:\Data\Shared)"},
                                                          {"USERPROFILE", R"(E:\Profiles\ada)"},
                                                          {"APPDATA", R"(E:\Profiles\ada\AppData\Roaming)"}};
  const auto folders = protected_folders([&](const std::string& name) -> std::optional<std::string> {
    const auto found = environment.find(name);
    return found == environment.end() ? std::nullopt : std::optional<std::string>(found->second);
  });
  const struct {
    std::string directory;
    bool refused;
  } cases[] = {
      {R"(C:\Program Files\Yoxa Quill)", false},
      {R"(E:\Profiles\ada\AppData\Local\Programs\Yoxa Quill)", false},
      {R"(\\server\share\Apps\Quill)", false},
      {R"(C:\)", true},
      {"C:", true},
      {R"(C:\Windows)", true},
      {R"(c:/windows/system32)", true},  // nothing below the Windows folder is a program folder
      {R"(C:\Program Files\Common Files\Yoxa)", false},
      {R"(D:\Data\Shared)", true},
      {R"(d:\data\shared\)", true},
      {R"(E:\Profiles\ada)", true},
      {R"(E:\Profiles)", true},  // holds every profile
      {R"(E:\Profiles\ada\AppData\Roaming)", true},
      {R"(E:\Profiles\ada\AppData)", true},  // holds a protected folder
      {R"(\\?\E:\Profiles\ada)", true},
      {R"(C:\Apps\..\Windows\Temp)", true},
      {R"(Apps\Quill)", true},
      {R"(C:Apps\Quill)", true},
      {std::string("C:\\Apps\\Quill\0\\x", 16), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unsafe_install_folder(c.directory, folders).has_value(), c.refused) << printable(c.directory);
  }
}

TEST(UninstallCommand, ListsArgumentsQuoted) {
  EXPECT_EQ(argument_list_text({}), "[]");
  EXPECT_EQ(argument_list_text({"/S", R"(_?=C:\A "b")"}), R"(["/S", "_?=C:\\A \"b\""])");
}

// --- stub clean-up -----------------------------------------------------------------------

TEST(StubCleanup, NeverTouchesADriveRootOrTheLevelBelowIt) {
  const struct {
    const char* directory;
    bool refused;
  } cases[] = {
      {"/", true},
      {"/opt", true},
      {"/opt/", true},
      {"/opt/app", false},
      {"/opt/app/../..", true},
      {"/opt/./app/..", true},
      {"", true},
      {"relative", true},
      {"relative/app", false},
      {R"(C:\)", true},
      {R"(C:\App)", true},
      {R"(c:\App\Sub)", false},
      {R"(C:\App\..\..\..\Other)", true},
      {R"(\\?\C:\App)", true},
      {R"(\\?\C:\App\Sub)", false},
      {R"(\\.\C:\App)", true},
      {R"(\\server\share\App)", true},
      {R"(\\server\share\App\Sub)", false},
      {R"(\\?\UNC\server\share\App)", true},
      {R"(\\?\UNC\server\share\App\Sub)", false},
      {R"(\\.\UNC\server\share\App)", true},
      // A volume GUID path names the volume as "C:" does.
      {R"(\\?\Volume{4c1b02c1-d990-11dc-99ae-806e6f6e6963}\App)", true},
      {R"(\\?\Volume{4c1b02c1-d990-11dc-99ae-806e6f6e6963}\App\Sub)", false},
      {R"(\\?\GLOBALROOT\Device\HarddiskVolume3\App)", true},
      {R"(\\?\GLOBALROOT\Device\HarddiskVolume3\App\Sub)", false},
  };
  for (const auto& c : cases) EXPECT_EQ(too_close_to_drive_root(c.directory), c.refused) << c.directory;
}

struct StubDir {
  StubDir() {
    fs::create_directories(dir);
    std::ofstream(stub) << "MZ";
  }
  TempDir temp;
  fs::path dir = temp.path() / "Yoxa Quill";
  fs::path stub = dir / "uninst.exe";
};

TEST(StubCleanup, RemovesALoneUninstallerWithItsDirectory) {
  StubDir fixture;
  const std::string log = logged_by([&] { clean_up_uninstaller_stub("Yoxa Quill", fixture.stub.string()); });
  EXPECT_FALSE(fs::exists(fixture.dir));
  EXPECT_TRUE(fs::exists(fixture.temp.path()));
  EXPECT_NE(log.find("Yoxa Quill: removed the leftover uninstaller and '" + fixture.dir.string() + "'"),
            std::string::npos)
      << log;
}

TEST(StubCleanup, LeavesEverythingWhenTheDirectoryHoldsMore) {
  StubDir fixture;
  std::ofstream(fixture.dir / "user-data.txt") << "keep";
  fs::create_directory(fixture.dir / "plugins");
  const std::string log = logged_by([&] { clean_up_uninstaller_stub("Yoxa Quill", fixture.stub.string()); });
  EXPECT_TRUE(fs::exists(fixture.stub));
  EXPECT_TRUE(fs::exists(fixture.dir / "user-data.txt"));
  EXPECT_NE(log.find("leaving '" + fixture.dir.string() + "' in place \u2014 2 entr(y/ies) remain besides the "
                     "uninstaller"),
            std::string::npos)
      << log;
}

TEST(StubCleanup, DeletesNothingThroughALink) {
  // The stub's folder is a link to a folder holding nothing but a file of that name.
  {
    StubDir target;
    const fs::path link = target.temp.path() / "Linked";
    fs::create_directory_symlink(target.dir, link);
    const std::string log = logged_by([&] { clean_up_uninstaller_stub("Yoxa Quill", (link / "uninst.exe").string()); });
    EXPECT_TRUE(fs::exists(target.stub));
    EXPECT_NE(log.find("refusing to clean up '" + link.string() + "' \u2014 '" + link.string() +
                       "' is a link (reparse point)"),
              std::string::npos)
        << log;
  }
  // The stub itself is a link to a file elsewhere.
  {
    StubDir fixture;
    const fs::path elsewhere = fixture.temp.path() / "precious.dll";
    std::ofstream(elsewhere) << "keep";
    fs::remove(fixture.stub);
    fs::create_symlink(elsewhere, fixture.stub);
    (void)logged_by([&] { clean_up_uninstaller_stub("Yoxa Quill", fixture.stub.string()); });
    EXPECT_TRUE(fs::exists(elsewhere));
    EXPECT_TRUE(fs::is_symlink(fixture.stub));
  }
}

TEST(StubCleanup, IgnoresProgramsThatAreNoFile) {
  StubDir fixture;
  clean_up_uninstaller_stub("Yoxa Quill", (fixture.dir / "missing.exe").string());
  clean_up_uninstaller_stub("Yoxa Quill", fixture.dir.string());  // a directory is not an uninstaller
  clean_up_uninstaller_stub("Yoxa Quill", "");
  EXPECT_TRUE(fs::exists(fixture.stub));
}

TEST(StubCleanup, ResolvesARelativeProgramAgainstTheWorkingDirectory) {
  StubDir fixture;
  const fs::path before = fs::current_path();
  fs::current_path(fixture.dir);
  // Taken as it is, "uninst.exe" has no directory at all; resolved, it is the stub.
  clean_up_uninstaller_stub("Yoxa Quill", "uninst.exe");
  fs::current_path(before);
  EXPECT_FALSE(fs::exists(fixture.dir));
}

}  // namespace
}  // namespace yoxa
