#include "platform/base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace deskwave {
namespace {

bool isStandardAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

std::string encode(const unsigned char* data, std::size_t size) {
  std::string out(4 * ((size + 2) / 3), '\0');
  if (size == 0) return out;
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<std::size_t>(std::max(n, 0)));
  return out;
}

std::string toUrl(std::string text) {
  for (char& c : text) {
    if (c == '+') c = '-';
    else if (c == '/') c = '_';
  }
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

}  // namespace

std::string base64Encode(const Bytes& data) { return encode(data.data(), data.size()); }

std::string base64Encode(std::string_view data) {
  return encode(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') ++padding;
  if (text.size() >= 2 && text[text.size() - 2] == '=') ++padding;
  for (std::size_t i = 0; i < text.size() - padding; ++i)
    if (!isStandardAlphabet(text[i])) return std::nullopt;
  if (text.empty()) return Bytes{};

  Bytes out(text.size() / 4 * 3);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  // EVP_DecodeBlock counts padding as zero bytes.
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

std::string base64UrlEncode(const Bytes& data) { return toUrl(base64Encode(data)); }
std::string base64UrlEncode(std::string_view data) { return toUrl(base64Encode(data)); }

std::optional<Bytes> base64UrlDecode(std::string_view text) {
  std::string standard(text);
  for (char& c : standard) {
    if (c == '-') c = '+';
    else if (c == '_') c = '/';
    else if (c == '+' || c == '/') return std::nullopt;
  }
  // Padded text must carry exactly the padding of the standard form, which the
  // strict decoder checks; unpadded text gets it added here.
  if (standard.empty() || standard.back() != '=') {
    if (standard.size() % 4 == 1) return std::nullopt;
    standard.append((4 - standard.size() % 4) % 4, '=');
  }
  return base64Decode(standard);
}

}  // namespace deskwave
