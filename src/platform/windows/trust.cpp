// Authenticode through WinVerifyTrust: the embedded signature, and a system
// catalog that lists the file's SHA-256 hash.
#include "platform/trust.h"

#include <io.h>

#include <optional>

#include "platform/windows/handle.h"
#include "platform/windows/win.h"
// wincrypt.h first: WIN32_LEAN_AND_MEAN leaves it out of windows.h, and the others need it.
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <mscat.h>

namespace yoxa::platform {

namespace {

// WTD_DISABLE_MD2_MD4 is missing from mingw-w64's wintrust.h.
constexpr DWORD kDisableMd2Md4 = 0x00002000;
constexpr DWORD kFileProviderFlags =
    kDisableMd2Md4 | WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_END_CERT | WTD_NO_IE4_CHAIN_FLAG;
constexpr DWORD kCatalogProviderFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_USE_DEFAULT_OSVER_CHECK;
static_assert(kFileProviderFlags == 0x3022 && kCatalogProviderFlags == 0x1400);
constexpr DWORD kSha256Bytes = 32;

// The failure of the call just made, that is: the thread's last error.
TrustCheck last_error_check() { return TrustCheck::failed(static_cast<std::uint32_t>(GetLastError())); }

// NUL-terminated UTF-16; none when the path holds a NUL (invalid UTF-8 becomes U+FFFD).
std::optional<std::wstring> wide_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return std::nullopt;
  return win::wide(path);
}

// The signer's subject common name from an open verification state.
TrustCheck signer_of(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
  CRYPT_PROVIDER_CERT* certificate = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
  if (!certificate || !certificate->pCert) return TrustCheck::failed(kTrustNoSignerCert);

  void* common_name_oid = const_cast<char*>(szOID_COMMON_NAME);
  const DWORD size = CertGetNameStringW(certificate->pCert, CERT_NAME_ATTR_TYPE, 0, common_name_oid, nullptr, 0);
  std::wstring name(size, L'\0');
  const DWORD written = size ? CertGetNameStringW(certificate->pCert, CERT_NAME_ATTR_TYPE, 0, common_name_oid,
                                                  name.data(), size)
                             : 0;
  name.resize(written ? written - 1 : 0);  // the count includes the terminating NUL
  return TrustCheck::trusted(name.empty() ? std::string("N/A") : win::narrow(name));
}

// WinVerifyTrust with WTD_STATEACTION_VERIFY on the prepared trust data, the signer
// read on success, and the state closed (WTD_STATEACTION_CLOSE) whatever happened.
TrustCheck verify_trust_data(WINTRUST_DATA& data) {
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const HWND no_window = static_cast<HWND>(INVALID_HANDLE_VALUE);
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  SetLastError(ERROR_SUCCESS);
  const LONG status = WinVerifyTrust(no_window, &action, &data);
  // A failure is described by the last error after the call, not by its return value.
  const TrustCheck check = status == ERROR_SUCCESS ? signer_of(data.hWVTStateData) : last_error_check();
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  (void)WinVerifyTrust(no_window, &action, &data);
  return check;
}

WINTRUST_DATA trust_data(DWORD provider_flags) {
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwProvFlags = provider_flags;
  return data;
}

// Catalog functions that mingw-w64's import library lacks (and that Wine may not
// export at all): resolved at run time from wintrust.dll.
template <class Function>
Function wintrust_export(const char* name) {
  // Loaded on first use (the engine delay-loads it), and only from System32.
  HMODULE module = LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  FARPROC address = module ? GetProcAddress(module, name) : nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}
using AcquireContext2 = BOOL(WINAPI*)(HCATADMIN*, const GUID*, PCWSTR, PCCERT_STRONG_SIGN_PARA, DWORD);
using CalcHashFromFileHandle2 = BOOL(WINAPI*)(HCATADMIN, HANDLE, DWORD*, BYTE*, DWORD);

struct CatalogAdminTraits {
  using Raw = HCATADMIN;
  static Raw none() { return nullptr; }
  static bool valid(Raw raw) { return raw != nullptr; }
  static void close(Raw raw) { CryptCATAdminReleaseContext(raw, 0); }
};

// A catalog context is released against the admin context it came from, before it.
class CatalogAdmin {
 public:
  CatalogAdmin() = default;
  CatalogAdmin(const CatalogAdmin&) = delete;
  CatalogAdmin& operator=(const CatalogAdmin&) = delete;
  ~CatalogAdmin() {
    if (catalog_) CryptCATAdminReleaseCatalogContext(admin_.get(), catalog_, 0);
  }
  HCATADMIN* admin_out() { return admin_.out(); }
  HCATADMIN admin() const { return admin_.get(); }
  void set_catalog(HCATINFO catalog) { catalog_ = catalog; }

 private:
  win::Unique<CatalogAdminTraits> admin_;
  HCATINFO catalog_ = nullptr;
};

std::wstring upper_hex(const BYTE* bytes, DWORD count) {
  static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring text;
  for (DWORD i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

class WinTrustVerifier final : public TrustVerifier {
 public:
  TrustCheck verify_file(const std::string& path) override {
    const auto wide = wide_path(path);
    if (!wide) return TrustCheck::malformed_path();
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = wide->c_str();
    WINTRUST_DATA data = trust_data(kFileProviderFlags);
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    return verify_trust_data(data);
  }

  TrustCheck verify_open_file(std::FILE* open, const std::string& path) override {
    const auto wide = wide_path(path);
    if (!wide) return TrustCheck::malformed_path();
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(open)));
    if (handle == INVALID_HANDLE_VALUE) return TrustCheck::failed(ERROR_INVALID_HANDLE);
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = wide->c_str();
    file.hFile = handle;
    WINTRUST_DATA data = trust_data(kFileProviderFlags);
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    return verify_trust_data(data);
  }

  TrustCheck verify_catalog(const std::string& path) override {
    const auto wide = wide_path(path);
    if (!wide) return TrustCheck::malformed_path();

    // Declared first, released last: the catalog handles before the file.
    win::UniqueFileHandle file(
        CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return last_error_check();

    CatalogAdmin catalogs;
    const auto acquire = wintrust_export<AcquireContext2>("CryptCATAdminAcquireContext2");
    if (!acquire || !acquire(catalogs.admin_out(), nullptr, L"SHA256", nullptr, 0)) return last_error_check();

    BYTE hash[kSha256Bytes] = {};
    DWORD hash_size = kSha256Bytes;
    const auto calc_hash = wintrust_export<CalcHashFromFileHandle2>("CryptCATAdminCalcHashFromFileHandle2");
    if (!calc_hash || !calc_hash(catalogs.admin(), file.get(), &hash_size, hash, 0)) return last_error_check();

    HCATINFO catalog = CryptCATAdminEnumCatalogFromHash(catalogs.admin(), hash, hash_size, 0, nullptr);
    if (!catalog) return TrustCheck::not_in_catalog();
    catalogs.set_catalog(catalog);

    CATALOG_INFO info{};
    info.cbStruct = sizeof info;
    if (!CryptCATCatalogInfoFromContext(catalog, &info, 0)) return last_error_check();

    const std::wstring member_tag = upper_hex(hash, hash_size);
    WINTRUST_CATALOG_INFO member{};
    member.cbStruct = sizeof member;
    member.pcwszCatalogFilePath = info.wszCatalogFile;
    member.pcwszMemberTag = member_tag.c_str();
    member.pcwszMemberFilePath = wide->c_str();
    // The SHA-256 hash we looked the catalog up by, and the context that computed it:
    // without them WinVerifyTrust may hash the file again another way and miss a member
    // the catalog lists only by its SHA-256 hash.
    member.hMemberFile = file.get();
    member.pbCalculatedFileHash = hash;
    member.cbCalculatedFileHash = hash_size;
    member.hCatAdmin = catalogs.admin();
    WINTRUST_DATA data = trust_data(kCatalogProviderFlags);
    data.dwUnionChoice = WTD_CHOICE_CATALOG;
    data.pCatalog = &member;
    return verify_trust_data(data);
  }
};

}  // namespace

TrustVerifier& system_trust_verifier() {
  static WinTrustVerifier verifier;
  return verifier;
}

}  // namespace yoxa::platform
