#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace yoxa {

// The fifteen wire codes, in their canonical order.
enum class ErrorKind : std::uint8_t {
  DownloadFailed,
  VerifyFailed,
  InstallFailed,
  UninstallFailed,
  UninstallPermissionDenied,
  UninstallAuthCancelled,
  NotCompatible,
  DiskSpace,
  NetworkUnavailable,
  UacDeclined,
  Cancelled,
  Skipped,
  NotImplemented,
  UntrustedSource,
  Unknown,
};

std::string_view wire_string(ErrorKind kind);

// An engine failure: one of the fixed user sentences, a technical detail for the
// log, and a small number naming the place that raised it.
class Error {
 public:
  Error(std::string message, std::string detail, std::uint32_t place)
      : message_(std::move(message)), detail_(std::move(detail)), place_(place) {}
  // For the runner-style errors whose message doubles as the detail.
  static Error same(std::string text, std::uint32_t place) { return Error(text, text, place); }

  const std::string& message() const { return message_; }
  const std::string& detail() const { return detail_; }
  std::uint32_t place() const { return place_; }
  // "message: detail (place)", used in log lines and searched for HRESULTs.
  std::string full_text() const;

 private:
  std::string message_;
  std::string detail_;
  std::uint32_t place_;
};

// A value or the Error that kept it from being made. Marked [[nodiscard]] on the type
// itself: GCC does not warn when a std::expected is dropped, and a dropped error is a
// failure reported as success.
template <class T>
class [[nodiscard]] Result : public std::expected<T, Error> {
 public:
  using std::expected<T, Error>::expected;
  Result(const std::expected<T, Error>& other) : std::expected<T, Error>(other) {}  // NOLINT: implicit by design
  Result(std::expected<T, Error>&& other) : std::expected<T, Error>(std::move(other)) {}  // NOLINT
};

inline std::unexpected<Error> fail(std::string message, std::string detail, std::uint32_t place) {
  return std::unexpected(Error(std::move(message), std::move(detail), place));
}

ErrorKind code_for_error(const Error& error);
ErrorKind code_for_message(std::string_view message);
ErrorKind code_from_wire(std::optional<std::string_view> wire);
int exit_code_for_error(const Error& error);

}  // namespace yoxa
