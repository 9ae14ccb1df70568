// A test-only subject interface package for MSIX/AppX packages and bundles, registered into
// the Wine test prefix by the e2e fixtures (Wine has none, so its WinVerifyTrust answers
// TRUST_E_SUBJECT_FORM_UNKNOWN for a signed package). With it, the engine's signer check runs
// for real on MSIX files: WinVerifyTrust gets the package's PKCS#7 signature from the zip
// entry AppxSignature.p7x ("PKCX" and the DER message) and checks the signature and reads the
// signer; a package without that entry is unsigned (TRUST_E_NOSIGNATURE).
//
// Content digests are not checked here: Wine's WinVerifyTrust never asks a subject interface
// package to verify them, so VerifyIndirectData refuses (fails closed) rather than claim a
// check it does not make; the package-content branch stays with the unit tests' fake trust
// verifier. Signing, digest creation and removal are not supported.
#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>
#include <wintrust.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "zip_reader.h"

#define SIP_EXPORT extern "C" __declspec(dllexport)

namespace {

// The subject type Windows uses for AppX packages.
const GUID kAppxSubject = {0x0AC5DF4B, 0xCE07, 0x4DE2, {0xB7, 0x6E, 0x23, 0xC8, 0x39, 0xA0, 0x9F, 0xD1}};
constexpr char kSignatureEntry[] = "AppxSignature.p7x";
constexpr char kSignatureMagic[] = "PKCX";

// The file WinVerifyTrust hands over, or the named file opened for reading.
class Subject {
 public:
  Subject(HANDLE given, const wchar_t* name) {
    if (given && given != INVALID_HANDLE_VALUE) {
      handle_ = given;
    } else if (name) {
      handle_ = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      owned_ = handle_ != INVALID_HANDLE_VALUE;
    }
  }
  Subject(const Subject&) = delete;
  Subject& operator=(const Subject&) = delete;
  ~Subject() {
    if (owned_) CloseHandle(handle_);
  }

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }

  std::uint64_t size() const {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle_, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  }

  // Positioned reads, so a handle shared with the caller keeps its file pointer.
  bool read(std::uint64_t offset, void* buf, std::size_t n) const {
    auto* out = static_cast<unsigned char*>(buf);
    while (n > 0) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD chunk = n > (1u << 20) ? (1u << 20) : static_cast<DWORD>(n);
      DWORD got = 0;
      if (!ReadFile(handle_, out, chunk, &got, &at) || got == 0) return false;
      out += got;
      offset += got;
      n -= got;
    }
    return true;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  bool owned_ = false;
};

bool ends_with_ignoring_case(const wchar_t* text, const wchar_t* suffix) {
  const std::size_t a = std::wcslen(text);
  const std::size_t b = std::wcslen(suffix);
  return a >= b && _wcsicmp(text + a - b, suffix) == 0;
}

// The DER signature of the package, or none with the reason in the thread's last error.
bool signature_of(const Subject& subject, std::string& der) {
  const auto archive = zip::Archive::open(
      [&subject](std::uint64_t offset, void* buf, std::size_t n) { return subject.read(offset, buf, n); },
      subject.size());
  if (!archive) {
    SetLastError(ERROR_BAD_FORMAT);
    return false;
  }
  const zip::Entry* entry = archive->find(kSignatureEntry);
  if (!entry) {
    SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    return false;
  }
  const auto data = archive->read(*entry);
  if (!data) {
    SetLastError(ERROR_BAD_FORMAT);
    return false;
  }
  if (data->size() <= 4 || data->compare(0, 4, kSignatureMagic) != 0) {
    SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    return false;
  }
  der = data->substr(4);
  return true;
}

}  // namespace

SIP_EXPORT BOOL WINAPI MsixSipIsMyFileType2(WCHAR* file_name, GUID* subject) {
  if (!file_name || !subject) return FALSE;
  bool claimed = false;
  for (const wchar_t* extension : {L".msix", L".appx", L".msixbundle", L".appxbundle"})
    claimed = claimed || ends_with_ignoring_case(file_name, extension);
  if (!claimed) return FALSE;
  const Subject file(nullptr, file_name);
  char magic[2] = {};
  if (!file.valid() || !file.read(0, magic, sizeof magic) || magic[0] != 'P' || magic[1] != 'K') return FALSE;
  *subject = kAppxSubject;
  return TRUE;
}

SIP_EXPORT BOOL WINAPI MsixSipGetSignedDataMsg(SIP_SUBJECTINFO* info, DWORD* encoding, DWORD index, DWORD* size,
                                               BYTE* message) {
  if (!info || !encoding || !size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (index != 0) {
    SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    return FALSE;
  }
  const Subject subject(info->hFile, info->pwsFileName);
  std::string der;
  if (!subject.valid() || !signature_of(subject, der)) return FALSE;
  *encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  const auto needed = static_cast<DWORD>(der.size());
  if (!message) {
    *size = needed;
    return TRUE;
  }
  if (*size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(message, der.data(), needed);
  *size = needed;
  return TRUE;
}

SIP_EXPORT BOOL WINAPI MsixSipVerifyIndirectData(SIP_SUBJECTINFO*, SIP_INDIRECT_DATA*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

SIP_EXPORT BOOL WINAPI MsixSipPutSignedDataMsg(SIP_SUBJECTINFO*, DWORD, DWORD*, DWORD, BYTE*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

SIP_EXPORT BOOL WINAPI MsixSipCreateIndirectData(SIP_SUBJECTINFO*, DWORD*, SIP_INDIRECT_DATA*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

SIP_EXPORT BOOL WINAPI MsixSipRemoveSignedDataMsg(SIP_SUBJECTINFO*, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
