// A stand-in for Windows PowerShell in tests, installed over the powershell.exe stub of a
// Wine prefix (or run directly on Linux). It takes the engine's leading arguments
//   -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command SCRIPT
// and understands exactly these scripts, matched by their full text with the one
// single-quoted value taken out:
//   file hash     prints the SHA-256 of the file in upper-case hex (exit 1 and a
//                 message on stderr when it cannot be read)
//   stop app      looks processes up by name (Toolhelp32 on Windows, /proc on Linux;
//                 ".exe" dropped, case-insensitive, no wildcards), kills them, waits up
//                 to 20 x 250 ms and prints "not-running", "stopped N" or "still-running N"
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

// --- SHA-256 (FIPS 180-4) -------------------------------------------------------------

class Sha256 {
 public:
  void update(const unsigned char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      block_[block_used_++] = data[i];
      if (block_used_ == 64) {
        compress();
        block_used_ = 0;
      }
    }
    bit_length_ += static_cast<std::uint64_t>(size) * 8;
  }

  std::string hex_upper() {
    const std::uint64_t bits = bit_length_;
    const unsigned char pad = 0x80;
    update(&pad, 1);
    const unsigned char zero = 0;
    while (block_used_ != 56) update(&zero, 1);
    for (int i = 7; i >= 0; --i) {
      const auto byte = static_cast<unsigned char>(bits >> (i * 8));
      update(&byte, 1);
    }
    std::string out;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (const std::uint32_t word : state_) {
      for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(word >> shift) & 0xF];
    }
    return out;
  }

 private:
  static std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

  void compress() {
    static constexpr std::uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    std::uint32_t w[64];
    for (std::size_t i = 0; i < 16; ++i) {
      w[i] = static_cast<std::uint32_t>(block_[i * 4]) << 24 | static_cast<std::uint32_t>(block_[i * 4 + 1]) << 16 |
             static_cast<std::uint32_t>(block_[i * 4 + 2]) << 8 | static_cast<std::uint32_t>(block_[i * 4 + 3]);
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
      const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
  }

  std::array<std::uint32_t, 8> state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::array<unsigned char, 64> block_{};
  std::size_t block_used_ = 0;
  std::uint64_t bit_length_ = 0;
};

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

void write_err(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}
void write_out(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

#ifdef _WIN32
std::string narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size, nullptr, nullptr);
  return out;
}
std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}
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

// Reads a single-quoted PowerShell string body starting at `pos`: a doubled quote
// (also the typographic ones PowerShell treats as quotes) stands for itself.
std::optional<std::string> quoted_value(std::string_view script, std::size_t& pos) {
  static constexpr std::string_view kQuotes[] = {"'", "\u2018", "\u2019", "\u201A", "\u201B"};
  std::string value;
  while (pos < script.size()) {
    bool handled = false;
    for (const auto quote : kQuotes) {
      if (script.substr(pos).starts_with(quote)) {
        if (script.substr(pos + quote.size()).starts_with(quote)) {
          value += quote;
          pos += quote.size() * 2;
          handled = true;
          break;
        }
        if (quote == "'") return value;  // the closing quote, left for the template to match
        return std::nullopt;             // a lone typographic quote would end the string too
      }
    }
    if (!handled) value += script[pos++];
  }
  return std::nullopt;
}

// Matches `script` against a template whose "{}" places each stand for one quoted
// value. The values in order, or none when the script differs.
std::optional<std::vector<std::string>> match_values(std::string_view script, std::string_view pattern) {
  std::vector<std::string> values;
  std::size_t s = 0;
  std::size_t p = 0;
  while (p < pattern.size()) {
    if (pattern.substr(p).starts_with("{}")) {
      auto here = quoted_value(script, s);
      if (!here) return std::nullopt;
      values.push_back(std::move(*here));
      p += 2;
      continue;
    }
    if (s >= script.size() || script[s] != pattern[p]) return std::nullopt;
    ++s;
    ++p;
  }
  if (s != script.size()) return std::nullopt;
  return values;
}

// The same for templates whose places all hold one value.
std::optional<std::string> match_template(std::string_view script, std::string_view pattern) {
  auto values = match_values(script, pattern);
  if (!values || values->empty()) return std::nullopt;
  for (const auto& value : *values) {
    if (value != values->front()) return std::nullopt;
  }
  return values->front();
}

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

int compress_archive(const ZipRequest& request) {
  namespace fs = std::filesystem;
  std::string destination = request.destination ? *request.destination : desktop_folder();
  if (blank(destination)) destination = environment("USERPROFILE").value_or("");
  std::error_code error;
  fs::create_directories(to_path(destination), error);
  const fs::path folder = to_path(request.folder);
  std::vector<ZipEntry> entries;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code kind_error;
    if (!it->is_regular_file(kind_error)) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), {});
    if (!in && !in.eof()) {
      write_err("Compress-Archive : The file '" + from_path(it->path()) + "' cannot be read.\n");
      return 1;
    }
    std::string name = from_path(it->path().lexically_relative(folder));
    std::replace(name.begin(), name.end(), '\\', '/');
    entries.push_back({std::move(name), std::move(data)});
  }
  if (error) {
    write_err("Compress-Archive : The path '" + request.folder + "' either does not exist or is not a valid path.\n");
    return 1;
  }
  std::sort(entries.begin(), entries.end(), [](const ZipEntry& a, const ZipEntry& b) { return a.name < b.name; });
  const fs::path zip = to_path(destination) / ("YoxaOfficeInstaller-logs-" + timestamp_now() + ".zip");
  std::ofstream out(zip, std::ios::binary | std::ios::trunc);
  const std::string bytes = zip_bytes(entries);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    write_err("Compress-Archive : Cannot write '" + from_path(zip) + "'.\n");
    return 1;
  }
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
std::optional<int> inject_failure() {
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
    if (verb == "hang") {
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

int run(const std::vector<std::string>& arguments) {
  if (!sha256_self_test()) {
    write_err("powershell stand-in: SHA-256 self-test failed\n");
    return 1;
  }
  const std::size_t leading = std::size(kLeadingArguments);
  bool leading_ok = arguments.size() == leading + 1;
  for (std::size_t i = 0; leading_ok && i < leading; ++i) leading_ok = arguments[i] == kLeadingArguments[i];
  const std::string script = arguments.empty() ? std::string() : arguments.back();
  const auto hash_path = leading_ok ? match_template(script, kHashScript) : std::nullopt;
  const auto stop_name = leading_ok && !hash_path ? match_template(script, kStopScript) : std::nullopt;
  const auto zip = leading_ok && !hash_path && !stop_name ? match_zip_script(script) : std::nullopt;
  if (!hash_path && !stop_name && !zip) {
    std::string all;
    for (const auto& argument : arguments) all += (all.empty() ? "" : " ") + argument;
    write_err("powershell stand-in: unknown script: " + all + "\n");
    return 1;
  }
  if (const auto code = inject_failure()) return *code;
  if (zip) return compress_archive(*zip);
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
