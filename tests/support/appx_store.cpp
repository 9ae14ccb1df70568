#include "appx_store.h"

#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>

#include "wide_text.h"
#endif

namespace appx {

std::optional<Installed> parse_full_name(const std::string& full_name) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const auto underscore = full_name.find('_', start);
    parts.push_back(full_name.substr(start, underscore == std::string::npos ? std::string::npos : underscore - start));
    if (underscore == std::string::npos) break;
    start = underscore + 1;
  }
  if (parts.size() != 5 || parts[0].empty() || parts[1].empty() || parts[4].empty()) return std::nullopt;
  return Installed{full_name, parts[0], parts[1], parts[2], parts[4], {}};
}

#ifdef _WIN32

namespace {

using standin::widen;
using standin::narrow;

constexpr wchar_t kUserPackages[] =
    L"Software\\Classes\\Local Settings\\Software\\Microsoft\\Windows\\CurrentVersion\\AppModel\\Repository\\Packages";
constexpr wchar_t kProvisioned[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Appx\\AppxAllUserStore\\Applications";

struct Key {
  HKEY handle = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (handle) RegCloseKey(handle);
  }
};

HKEY hive(Store store) { return store == Store::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }
const wchar_t* path(Store store) { return store == Store::User ? kUserPackages : kProvisioned; }

std::string error_text(const char* what, LSTATUS status) {
  return std::string(what) + " failed (os error " + std::to_string(status) + ")";
}

std::optional<std::string> read_string(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &bytes) != ERROR_SUCCESS)
    return std::nullopt;
  value.resize(bytes / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return narrow(value);
}

std::optional<std::string> set_string(HKEY key, const wchar_t* name, const std::string& value) {
  const std::wstring wide = widen(value);
  const LSTATUS status = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                                        static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
  return status == ERROR_SUCCESS ? std::nullopt : std::optional(error_text("RegSetValueExW", status));
}

std::filesystem::path root_folder(const std::string& full_name) {
  wchar_t program_files[MAX_PATH] = {};
  const DWORD size = GetEnvironmentVariableW(L"ProgramFiles", program_files, MAX_PATH);
  const std::wstring base = size > 0 && size < MAX_PATH ? program_files : L"C:\\Program Files";
  return std::filesystem::path(base) / L"WindowsApps" / widen(full_name);
}

}  // namespace

std::optional<std::vector<Installed>> list(Store store) {
  Key key;
  const LSTATUS status = RegOpenKeyExW(hive(store), path(store), 0, KEY_READ, &key.handle);
  if (status == ERROR_FILE_NOT_FOUND) return std::vector<Installed>{};
  if (status != ERROR_SUCCESS) return std::nullopt;
  std::vector<Installed> found;
  for (DWORD index = 0;; ++index) {
    wchar_t name[512];
    DWORD length = static_cast<DWORD>(std::size(name));
    const LSTATUS next = RegEnumKeyExW(key.handle, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (next == ERROR_NO_MORE_ITEMS) break;
    if (next != ERROR_SUCCESS) return std::nullopt;
    auto installed = parse_full_name(narrow(std::wstring(name, length)));
    if (!installed) continue;
    Key package;
    if (RegOpenKeyExW(key.handle, name, 0, KEY_READ, &package.handle) == ERROR_SUCCESS)
      installed->root_folder = read_string(package.handle, L"PackageRootFolder").value_or("");
    found.push_back(std::move(*installed));
  }
  return found;
}

std::optional<std::string> record(Store store, const Identity& identity, const std::string& package_path) {
  const std::wstring subkey = std::wstring(path(store)) + L"\\" + widen(identity.full_name());
  Key key;
  const LSTATUS status = RegCreateKeyExW(hive(store), subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key.handle, nullptr);
  if (status != ERROR_SUCCESS) return error_text("RegCreateKeyExW", status);
  if (store == Store::Provisioned) return set_string(key.handle, L"Path", package_path);
  const auto folder = root_folder(identity.full_name());
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  std::ofstream manifest(folder / L"AppxManifest.xml", std::ios::binary | std::ios::trunc);
  manifest << identity.manifest;
  manifest.close();
  if (error || !manifest) return "could not write the package folder " + narrow(folder.wstring());
  if (auto failed = set_string(key.handle, L"PackageRootFolder", narrow(folder.wstring()))) return failed;
  return set_string(key.handle, L"PackageID", identity.full_name());
}

std::optional<std::string> remove(Store store, const std::string& full_name) {
  const std::wstring subkey = std::wstring(path(store)) + L"\\" + widen(full_name);
  const LSTATUS status = RegDeleteKeyW(hive(store), subkey.c_str());
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return error_text("RegDeleteKeyW", status);
  if (store == Store::User) {
    std::error_code error;
    std::filesystem::remove_all(root_folder(full_name), error);
  }
  return std::nullopt;
}

#else

std::optional<std::vector<Installed>> list(Store) { return std::nullopt; }
std::optional<std::string> record(Store, const Identity&, const std::string&) {
  return std::string("MSIX deployments are recorded only on Windows");
}
std::optional<std::string> remove(Store, const std::string&) {
  return std::string("MSIX deployments are recorded only on Windows");
}

#endif

}  // namespace appx
