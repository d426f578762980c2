#include "token_signer.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/base64.h"
#include "platform/crypto.h"

namespace deskwave::accounts {
namespace {

std::runtime_error fileError(const std::filesystem::path& file, const std::string& why) {
  return std::runtime_error("token secret " + file.string() + ": " + why);
}

Bytes readSecret(const std::filesystem::path& file, int fd) {
  ::fchmod(fd, 0600);  // tighten a file someone loosened
  Bytes secret(TokenSigner::kSecretBytes + 1);
  std::size_t got = 0;
  while (got < secret.size()) {
    const auto n = ::read(fd, secret.data() + got, secret.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw fileError(file, std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != TokenSigner::kSecretBytes)
    throw fileError(file, "holds " + std::to_string(got) + " bytes, expected " +
                              std::to_string(TokenSigner::kSecretBytes) + "; move it away to start afresh");
  secret.resize(got);
  return secret;
}

}  // namespace

Bytes TokenSigner::loadOrCreateSecret(const std::filesystem::path& file) {
  std::error_code ec;
  if (file.has_parent_path()) {
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) throw fileError(file, ec.message());
  }
  // O_EXCL: of two processes starting at once, only one writes a secret.
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    const Bytes secret = randomBytes(kSecretBytes);
    const bool written = ::write(fd, secret.data(), secret.size()) == static_cast<ssize_t>(secret.size()) &&
                         ::fsync(fd) == 0;
    const std::string why = std::strerror(errno);
    ::close(fd);
    if (!written) {
      ::unlink(file.c_str());
      throw fileError(file, why);
    }
    return secret;
  }
  if (errno != EEXIST) throw fileError(file, std::strerror(errno));
  fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw fileError(file, std::strerror(errno));
  try {
    auto secret = readSecret(file, fd);
    ::close(fd);
    return secret;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

Bytes TokenSigner::mac(std::string_view signingInput) const {
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
            reinterpret_cast<const unsigned char*>(signingInput.data()), signingInput.size(), out.data(), &length))
    length = 0;
  out.resize(length);
  return out;
}

std::string TokenSigner::sign(const nlohmann::json& claims) const {
  static const std::string header = base64UrlEncode(std::string_view(R"({"alg":"HS256","typ":"JWT"})"));
  const auto input =
      header + "." + base64UrlEncode(claims.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  return input + "." + base64UrlEncode(mac(input));
}

std::optional<nlohmann::json> TokenSigner::verify(const std::string& token) const {
  const auto firstDot = token.find('.');
  const auto lastDot = token.rfind('.');
  if (firstDot == std::string::npos || firstDot == lastDot) return std::nullopt;
  const auto signature = base64UrlDecode(std::string_view(token).substr(lastDot + 1));
  const auto expected = mac(std::string_view(token).substr(0, lastDot));
  if (!signature || expected.empty() || signature->size() != expected.size() ||
      CRYPTO_memcmp(signature->data(), expected.data(), expected.size()) != 0)
    return std::nullopt;
  // Only our own header is accepted, so no token can pick another algorithm.
  const auto header = base64UrlDecode(std::string_view(token).substr(0, firstDot));
  const auto payload = base64UrlDecode(std::string_view(token).substr(firstDot + 1, lastDot - firstDot - 1));
  if (!header || !payload) return std::nullopt;
  const auto h = nlohmann::json::parse(header->begin(), header->end(), nullptr, false);
  if (!h.is_object() || !h.contains("alg") || h["alg"] != "HS256") return std::nullopt;
  auto claims = nlohmann::json::parse(payload->begin(), payload->end(), nullptr, false);
  if (!claims.is_object()) return std::nullopt;
  return claims;
}

}  // namespace deskwave::accounts
