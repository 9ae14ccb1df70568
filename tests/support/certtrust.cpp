// certtrust add|del|has CERT: adds a CA certificate (PEM or DER) to the local
// machine's Root store, removes it, or tells whether it is there (exit 0 present,
// 1 absent). Used to make the test TLS CA trusted inside a Wine prefix.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int fail(const wchar_t* what, int code) {
  std::fwprintf(stderr, L"certtrust: %ls failed (0x%08lx)\n", what, GetLastError());
  return code;
}

bool read_file(const wchar_t* path, std::vector<BYTE>& bytes) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (1 << 20);
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) && got == bytes.size();
  }
  CloseHandle(file);
  return ok;
}

// PEM files carry the certificate as base64 between header lines; DER passes through.
bool to_der(std::vector<BYTE>& bytes) {
  if (bytes.size() < 5 || std::memcmp(bytes.data(), "-----", 5) != 0) return true;
  const auto text = reinterpret_cast<const char*>(bytes.data());
  const auto length = static_cast<DWORD>(bytes.size());
  DWORD needed = 0;
  if (!CryptStringToBinaryA(text, length, CRYPT_STRING_BASE64HEADER, nullptr, &needed, nullptr, nullptr)) return false;
  std::vector<BYTE> der(needed);
  if (!CryptStringToBinaryA(text, length, CRYPT_STRING_BASE64HEADER, der.data(), &needed, nullptr, nullptr)) return false;
  der.resize(needed);
  bytes.swap(der);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring op = argc == 3 ? argv[1] : L"";
  if (op != L"add" && op != L"del" && op != L"has") {
    std::fwprintf(stderr, L"usage: certtrust add|del|has CERT\n");
    return 64;
  }
  std::vector<BYTE> der;
  if (!read_file(argv[2], der)) return fail(L"reading the certificate", 2);
  if (!to_der(der)) return fail(L"decoding the PEM file", 2);
  PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
  if (!cert) return fail(L"parsing the certificate", 3);

  // Wine 8 reports success when deleting through the system collection store but
  // keeps the certificate; the registry provider's store deletes for real.
  const auto provider = op == L"del" ? CERT_STORE_PROV_SYSTEM_REGISTRY_W : CERT_STORE_PROV_SYSTEM_W;
  const DWORD flags = CERT_SYSTEM_STORE_LOCAL_MACHINE | (op == L"has" ? CERT_STORE_READONLY_FLAG : 0);
  HCERTSTORE store = CertOpenStore(provider, 0, 0, flags, L"Root");
  if (!store) {
    CertFreeCertificateContext(cert);
    return fail(L"opening the machine Root store", 4);
  }

  int code = 0;
  PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
  if (op == L"add") {
    if (!CertAddCertificateContextToStore(store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
      code = fail(L"adding the certificate", 5);
  } else if (op == L"del") {
    // Deleting frees the context, found or not.
    if (found && !CertDeleteCertificateFromStore(found)) code = fail(L"deleting the certificate", 6);
    found = nullptr;
  } else {
    code = found ? 0 : 1;
  }
  if (found) CertFreeCertificateContext(found);
  CertFreeCertificateContext(cert);
  CertCloseStore(store, 0);
  return code;
}
