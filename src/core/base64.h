#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace yoxa {
// Standard alphabet (RFC 4648), without "=" padding: the worker-payload transport.
std::string base64_encode_unpadded(std::string_view bytes);
// None for any character outside the alphabet, padding, or an impossible length.
std::optional<std::string> base64_decode_unpadded(std::string_view text);
// Keys and signatures written by people and tools: surrounding white space and at most
// two "=" of padding are allowed; otherwise as strict as the above.
std::optional<std::string> base64_decode_padded_or_not(std::string_view text);
}  // namespace yoxa
