// A stand-in for Windows PowerShell in tests, installed over the powershell.exe stub of a
// Wine prefix (or run directly on Linux). It takes the engine's leading arguments
//   -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command SCRIPT
// and understands exactly these scripts, matched by their full text with the one
// single-quoted value taken out:
//   file hash     prints the SHA-256 of the file in upper-case hex (exit 1 and a
//                 message on stderr when it cannot be read)
//   Appx / DISM   the MSIX install, query, removal and certificate scripts (appx_commands.h)
//   stop app      looks processes up by name (Toolhelp32 on Windows, /proc on Linux;
//                 ".exe" dropped, case-insensitive, no wildcards), kills them, waits up
//                 to 20 x 250 ms and prints "not-running", "stopped N" or "still-running N"
//   log archive   writes a stored zip of the staged folder; like PowerShell, a failing
//                 New-Item or Compress-Archive only writes its error, and the path is
//                 printed with exit code 0
// Output is UTF-8 when the word "[Console]::OutputEncoding=[Text.UTF8Encoding]::new($false);"
// follows -Command (the script then comes after it), else in the console or OEM code page.
// Any other script, or other leading arguments, prints "powershell stand-in: unknown
// script: ..." on stderr and exits 1, so a changed script cannot pass silently.
//
// Failure injection, for every recognised script: directives, one per line, taken from
// the environment variable YOXA_POWERSHELL_STANDIN_FAILURE or, when that is unset, from
// the file "powershell_standin.fail" next to this program:
//   hang [SECONDS]   sleep first (default 600 seconds)
//   stderr TEXT      write TEXT and a line feed to standard error
//   exit N           exit with code N (decimal or 0x...) instead of running the script;
//                    with only "stderr" given the code is 1
//   only K1,K2       (first line) apply the directives only to scripts of these kinds: hash,
//                    stop, zip and the Appx kinds of appx_commands.h (add-appx, ...)
#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "appx_commands.h"
#include "script_match.h"
#include "sha256.h"
#include "wide_text.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>
#else
#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

using standin::Sha256;

std::string sha256_of_text(std::string_view text) {
  Sha256 hash;
  hash.update(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  return hash.hex_upper();
}

// Known-answer vectors, checked on every start so a broken hash can never pass as a mismatch.
bool sha256_self_test() {
  return sha256_of_text("") == "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855" &&
         sha256_of_text("abc") == "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD" &&
         sha256_of_text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq") ==
             "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1" &&
         sha256_of_text(std::string(1000000, 'a')) ==
             "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0";
}

// --- platform ---------------------------------------------------------------------------

// Windows PowerShell writes redirected output in the console's code page (the OEM code
// page without a console) unless the command first sets [Console]::OutputEncoding.
bool g_utf8_output = true;

std::string output_bytes(const std::string& utf8) {
#ifdef _WIN32
  if (g_utf8_output || utf8.empty()) return utf8;
  const UINT console = GetConsoleOutputCP();
  const UINT code_page = console != 0 ? console : GetOEMCP();
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  const int length = WideCharToMultiByte(code_page, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(code_page, 0, wide.data(), size, out.data(), length, nullptr, nullptr);
  return out;
#else
  return utf8;
#endif
}

void write_err(const std::string& text) {
  const std::string bytes = output_bytes(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stderr);
  std::fflush(stderr);
}
void write_out(const std::string& text) {
  const std::string bytes = output_bytes(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

#ifdef _WIN32
using standin::narrow;
using standin::widen;

std::string own_directory() {
  std::wstring buffer(32768, L'\0');
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  const auto slash = buffer.find_last_of(L"\\/");
  return narrow(slash == std::wstring::npos ? std::wstring() : buffer.substr(0, slash + 1));
}
std::FILE* open_for_reading(const std::string& path) { return _wfopen(widen(path).c_str(), L"rb"); }
std::optional<std::string> environment(const char* name) {
  const std::wstring wide_name = widen(name);
  const DWORD size = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring value(size, L'\0');
  value.resize(GetEnvironmentVariableW(wide_name.c_str(), value.data(), size));
  return narrow(value);
}

std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
std::filesystem::path to_path(const std::string& text) { return std::filesystem::path(widen(text)); }
std::string from_path(const std::filesystem::path& path) { return narrow(path.wstring()); }
// [Environment]::GetFolderPath('Desktop'): empty when the folder is unknown.
std::string desktop_folder() {
  PWSTR found = nullptr;
  std::string path;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, &found))) path = narrow(found);
  CoTaskMemFree(found);
  return path;
}
std::vector<DWORD> processes_named(const std::string& name) {
  std::vector<DWORD> found;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    std::string exe = lower(narrow(entry.szExeFile));
    if (exe.size() > 4 && exe.ends_with(".exe")) exe.resize(exe.size() - 4);
    if (exe == lower(name) && entry.th32ProcessID != GetCurrentProcessId()) found.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return found;
}
void kill_process(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!process) return;
  TerminateProcess(process, 1);
  CloseHandle(process);
}
#else
std::string own_directory() {
  std::string buffer(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (length <= 0) return {};
  buffer.resize(static_cast<std::size_t>(length));
  return buffer.substr(0, buffer.find_last_of('/') + 1);
}
std::FILE* open_for_reading(const std::string& path) { return std::fopen(path.c_str(), "rb"); }
std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}
std::string lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
std::filesystem::path to_path(const std::string& text) { return std::filesystem::path(text); }
std::string from_path(const std::filesystem::path& path) { return path.string(); }
std::string desktop_folder() {
  const auto home = environment("HOME");
  return home ? *home + "/Desktop" : std::string();
}
// Live processes whose program name (argv[0] without its directory and ".exe") matches.
std::vector<pid_t> processes_named(const std::string& name) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  while (const dirent* entry = ::readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
    if (pid <= 0 || pid == ::getpid()) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    std::ifstream stat(dir + "/stat");
    std::string stat_text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = stat_text.rfind(')');
    if (close == std::string::npos || close + 2 >= stat_text.size() || stat_text[close + 2] == 'Z') continue;
    std::ifstream cmdline(dir + "/cmdline");
    std::string program;
    std::getline(cmdline, program, '\0');
    program = program.substr(program.find_last_of('/') == std::string::npos ? 0 : program.find_last_of('/') + 1);
    program = lower(program);
    if (program.size() > 4 && program.ends_with(".exe")) program.resize(program.size() - 4);
    if (!program.empty() && program == lower(name)) found.push_back(pid);
  }
  ::closedir(proc);
  return found;
}
void kill_process(pid_t pid) { ::kill(pid, SIGKILL); }
#endif

// --- scripts ----------------------------------------------------------------------------

constexpr std::string_view kLeadingArguments[] = {"-NoLogo", "-NoProfile", "-NonInteractive",
                                                   "-ExecutionPolicy", "Bypass", "-Command"};
// Optional, between -Command and the script: PowerShell joins the two into one command.
constexpr std::string_view kUtf8OutputPrefix = "[Console]::OutputEncoding=[Text.UTF8Encoding]::new($false);";

constexpr std::string_view kHashScript =
    "Microsoft.PowerShell.Utility\\Get-FileHash -LiteralPath '{}' -Algorithm SHA256 | "
    "Microsoft.PowerShell.Utility\\Select-Object -ExpandProperty Hash";

constexpr std::string_view kStopScript =
    "$p = Get-Process -Name '{}' -ErrorAction SilentlyContinue;          if (-not $p) { 'not-running' }          "
    "else { $n = @($p).Count; $p | Stop-Process -Force -ErrorAction SilentlyContinue;          "
    "for ($i = 0; $i -lt 20; $i++) { if (-not (Get-Process -Name '{}' -ErrorAction SilentlyContinue)) { break } "
    "Start-Sleep -Milliseconds 250 }          if (Get-Process -Name '{}' -ErrorAction SilentlyContinue) "
    "{ 'still-running ' + $n } else { 'stopped ' + $n } }";

// The log-export archive script; the destination is a quoted directory or the Desktop.
constexpr std::string_view kDesktopDestination = "[Environment]::GetFolderPath('Desktop')";
constexpr std::string_view kZipScriptAfterDestination =
    "; if ([string]::IsNullOrWhiteSpace($dest)) { $dest = $env:USERPROFILE } New-Item -ItemType Directory -Force "
    "-Path $dest | Out-Null; $zip = Join-Path $dest ('YoxaOfficeInstaller-logs-' + (Get-Date -Format "
    "'yyyyMMdd-HHmmss') + '.zip'); Microsoft.PowerShell.Archive\\Compress-Archive -Path '{}' -DestinationPath $zip "
    "-CompressionLevel Optimal -Force; Write-Output $zip";

using standin::match_template;
using standin::match_values;

struct ZipRequest {
  std::optional<std::string> destination;  // none: the Desktop
  std::string folder;                      // the folder whose contents are archived
};

std::optional<ZipRequest> match_zip_script(std::string_view script) {
  const std::string desktop = "$dest = " + std::string(kDesktopDestination) + std::string(kZipScriptAfterDestination);
  const std::string quoted = "$dest = '{}'" + std::string(kZipScriptAfterDestination);
  std::optional<ZipRequest> request;
  if (auto values = match_values(script, desktop)) {
    request = ZipRequest{std::nullopt, values->at(0)};
  } else if (auto given = match_values(script, quoted)) {
    request = ZipRequest{given->at(0), given->at(1)};
  }
  // -Path 'DIR\*': everything in DIR.
  if (!request || !request->folder.ends_with("\\*")) return std::nullopt;
  request->folder.resize(request->folder.size() - 2);
  return request;
}

int file_hash(const std::string& path) {
  std::FILE* file = open_for_reading(path);
  if (!file) {
    write_err("Get-FileHash : Cannot find path '" + path + "' because it does not exist.\n");
    return 1;
  }
  Sha256 hash;
  std::vector<unsigned char> buffer(1 << 16);
  std::size_t read = 0;
  while ((read = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) hash.update(buffer.data(), read);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    write_err("Get-FileHash : The file '" + path + "' could not be read.\n");
    return 1;
  }
  write_out(hash.hex_upper() + "\n");
  return 0;
}

int stop_app(const std::string& name) {
  const auto running = processes_named(name);
  if (running.empty()) {
    write_out("not-running\n");
    return 0;
  }
  for (const auto pid : running) kill_process(pid);
  for (int i = 0; i < 20; ++i) {
    if (processes_named(name).empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
  const std::string count = std::to_string(running.size());
  write_out((processes_named(name).empty() ? "stopped " : "still-running ") + count + "\n");
  return 0;
}

// --- zip (stored entries, no compression) -------------------------------------------------

std::uint32_t crc32_of(const std::string& data) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> made{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      made[i] = c;
    }
    return made;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char byte : data) crc = table[(crc ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

void put16(std::string& out, std::uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}
void put32(std::string& out, std::uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

struct ZipEntry {
  std::string name;  // UTF-8, "/" between folders
  std::string data;
};

std::string zip_bytes(const std::vector<ZipEntry>& entries) {
  constexpr std::uint32_t kUtf8Names = 1u << 11;
  constexpr std::uint32_t kDosTime = 0;
  constexpr std::uint32_t kDosDate = (1u << 5) | 1u;  // 1980-01-01
  std::string out;
  std::string directory;
  for (const auto& entry : entries) {
    const auto offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t crc = crc32_of(entry.data);
    const auto size = static_cast<std::uint32_t>(entry.data.size());
    put32(out, 0x04034b50);
    put16(out, 20);
    put16(out, kUtf8Names);
    put16(out, 0);  // stored
    put16(out, kDosTime);
    put16(out, kDosDate);
    put32(out, crc);
    put32(out, size);
    put32(out, size);
    put16(out, static_cast<std::uint32_t>(entry.name.size()));
    put16(out, 0);
    out += entry.name;
    out += entry.data;

    put32(directory, 0x02014b50);
    put16(directory, 20);
    put16(directory, 20);
    put16(directory, kUtf8Names);
    put16(directory, 0);
    put16(directory, kDosTime);
    put16(directory, kDosDate);
    put32(directory, crc);
    put32(directory, size);
    put32(directory, size);
    put16(directory, static_cast<std::uint32_t>(entry.name.size()));
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0);
    put32(directory, offset);
    directory += entry.name;
  }
  const auto directory_offset = static_cast<std::uint32_t>(out.size());
  out += directory;
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<std::uint32_t>(entries.size()));
  put16(out, static_cast<std::uint32_t>(entries.size()));
  put32(out, static_cast<std::uint32_t>(directory.size()));
  put32(out, directory_offset);
  put16(out, 0);
  return out;
}

std::string timestamp_now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

bool blank(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isspace(c) != 0; });
}

// The zip of every file below `folder` written to `zip`; the cmdlet's error text, if any.
std::optional<std::string> write_archive(const std::string& folder_text, const std::filesystem::path& zip) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path folder = to_path(folder_text);
  std::vector<ZipEntry> entries;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code kind_error;
    if (!it->is_regular_file(kind_error)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), {});
    if (!in && !in.eof()) return "Compress-Archive : The file '" + from_path(it->path()) + "' cannot be read.";
    std::string name = from_path(it->path().lexically_relative(folder));
    std::replace(name.begin(), name.end(), '\\', '/');
    entries.push_back({std::move(name), std::move(data)});
  }
  if (error) return "Compress-Archive : The path '" + folder_text + "' either does not exist or is not a valid path.";
  std::sort(entries.begin(), entries.end(), [](const ZipEntry& a, const ZipEntry& b) { return a.name < b.name; });
  std::ofstream out(zip, std::ios::binary | std::ios::trunc);
  const std::string bytes = zip_bytes(entries);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) return "Compress-Archive : Cannot write '" + from_path(zip) + "'.";
  return std::nullopt;
}

// As in Windows PowerShell, a failing New-Item or Compress-Archive is a non-terminating
// error: its text goes to standard error, the script goes on, Write-Output still prints
// the zip's path and, the last command having succeeded, the exit code is 0.
int compress_archive(const ZipRequest& request) {
  namespace fs = std::filesystem;
  std::string destination = request.destination ? *request.destination : desktop_folder();
  if (blank(destination)) destination = environment("USERPROFILE").value_or("");
  std::error_code error;
  fs::create_directories(to_path(destination), error);
  if (error || !fs::is_directory(to_path(destination), error)) {
    write_err("New-Item : An item with the specified name " + destination + " already exists.\n");
  }
  const fs::path zip = to_path(destination) / ("YoxaOfficeInstaller-logs-" + timestamp_now() + ".zip");
  if (const auto failure = write_archive(request.folder, zip)) write_err(*failure + "\n");
  write_out(from_path(zip) + "\r\n");
  return 0;
}

std::optional<std::string> failure_directives() {
  if (auto from_environment = environment("YOXA_POWERSHELL_STANDIN_FAILURE")) return from_environment;
  std::FILE* file = open_for_reading(own_directory() + "powershell_standin.fail");
  if (!file) return std::nullopt;
  std::string text;
  char buffer[4096];
  std::size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, read);
  std::fclose(file);
  return text;
}

// Applies the injected failure; the exit code to end with, or none to run the script.
std::optional<int> inject_failure(const std::string& kind) {
  const auto directives = failure_directives();
  if (!directives) return std::nullopt;
  std::optional<int> code;
  bool wrote_error = false;
  std::istringstream lines(*directives);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "only") {
      const std::string kinds = "," + argument + ",";
      if (kinds.find("," + kind + ",") == std::string::npos) return std::nullopt;
    } else if (verb == "hang") {
      std::this_thread::sleep_for(std::chrono::seconds(argument.empty() ? 600 : std::atol(argument.c_str())));
    } else if (verb == "stderr") {
      write_err(argument + "\n");
      wrote_error = true;
    } else if (verb == "exit") {
      code = static_cast<int>(std::strtoul(argument.c_str(), nullptr, 0));
    } else if (!verb.empty()) {
      write_err("powershell stand-in: unknown failure directive: " + line + "\n");
      return 1;
    }
  }
  if (!code && wrote_error) code = 1;
  return code;
}

std::optional<std::string> read_whole_file(const std::string& path) {
  std::FILE* file = open_for_reading(path);
  if (!file) return std::nullopt;
  std::string text;
  char buffer[65536];
  std::size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, read);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return failed ? std::nullopt : std::optional<std::string>(std::move(text));
}

int run(const std::vector<std::string>& arguments) {
  if (!sha256_self_test()) {
    write_err("powershell stand-in: SHA-256 self-test failed\n");
    return 1;
  }
  const std::size_t leading = std::size(kLeadingArguments);
  g_utf8_output = arguments.size() == leading + 2 && arguments[leading] == kUtf8OutputPrefix;
  bool leading_ok = arguments.size() == leading + (g_utf8_output ? 2 : 1);
  for (std::size_t i = 0; leading_ok && i < leading; ++i) leading_ok = arguments[i] == kLeadingArguments[i];
  const std::string script = arguments.empty() ? std::string() : arguments.back();
  const auto hash_path = leading_ok ? match_template(script, kHashScript) : std::nullopt;
  const auto stop_name = leading_ok && !hash_path ? match_template(script, kStopScript) : std::nullopt;
  const auto zip = leading_ok && !hash_path && !stop_name ? match_zip_script(script) : std::nullopt;
  const auto appx_script = leading_ok && !hash_path && !stop_name && !zip ? appx::match_script(script) : std::nullopt;
  if (!hash_path && !stop_name && !zip && !appx_script) {
    std::string all;
    for (const auto& argument : arguments) all += (all.empty() ? "" : " ") + argument;
    write_err("powershell stand-in: unknown script: " + all + "\n");
    return 1;
  }
  const std::string kind = hash_path ? "hash" : stop_name ? "stop" : zip ? "zip" : appx_script->kind;
  if (const auto code = inject_failure(kind)) return *code;
  if (zip) return compress_archive(*zip);
  if (appx_script) {
    const appx::Host host{own_directory(), read_whole_file, write_out, write_err};
    return appx_script->run(host);
  }
  return hash_path ? file_hash(*hash_path) : stop_app(*stop_name);
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(narrow(argv[i]));
  return run(arguments);
}
#else
int main(int argc, char** argv) { return run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
