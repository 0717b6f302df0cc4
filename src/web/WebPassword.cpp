#include "web/WebPassword.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace WebPassword {
namespace {

constexpr const char* kScheme = "pbkdf2-sha256";
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
// A hash from the configuration may not make a login take minutes.
constexpr unsigned long kMaxIterations = 10000000;

std::string Hex(const std::vector<unsigned char>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

bool FromHex(const std::string& text, std::vector<unsigned char>& out) {
  if (text.empty() || text.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    if (!isxdigit(static_cast<unsigned char>(text[i])) ||
        !isxdigit(static_cast<unsigned char>(text[i + 1]))) {
      return false;
    }
    out.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return true;
}

std::vector<unsigned char> Derive(const std::string& password,
                                  const std::vector<unsigned char>& salt, unsigned iterations,
                                  size_t length) {
  std::vector<unsigned char> out(length);
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                        static_cast<int>(length), out.data()) != 1) {
    throw std::runtime_error("PBKDF2 failed");
  }
  return out;
}

struct Parts {
  unsigned iterations = 0;
  std::vector<unsigned char> salt;
  std::vector<unsigned char> hash;
};

bool Split(const std::string& stored, Parts& parts) {
  const std::string prefix = std::string(kScheme) + "$";
  if (stored.compare(0, prefix.size(), prefix) != 0) return false;
  const size_t a = prefix.size();
  const size_t b = stored.find('$', a);
  if (b == std::string::npos) return false;
  const size_t c = stored.find('$', b + 1);
  if (c == std::string::npos) return false;
  const std::string count = stored.substr(a, b - a);
  if (count.empty() || count.size() > 8) return false;
  for (char ch : count) {
    if (!isdigit(static_cast<unsigned char>(ch))) return false;
  }
  const unsigned long iterations = std::strtoul(count.c_str(), nullptr, 10);
  if (iterations == 0 || iterations > kMaxIterations) return false;
  parts.iterations = static_cast<unsigned>(iterations);
  return FromHex(stored.substr(b + 1, c - b - 1), parts.salt) &&
         FromHex(stored.substr(c + 1), parts.hash) && parts.salt.size() >= 8 &&
         parts.hash.size() >= 16 && parts.hash.size() <= 64;
}

}  // namespace

// From the kernel rather than OpenSSL: the console makes a token when it starts, and bringing up
// OpenSSL's generator for it kept some 3 MB of its library in memory on a gateway nobody logs in to.
std::string RandomToken(size_t bytes) {
  std::vector<unsigned char> data(bytes);
  size_t filled = 0;
  while (filled < data.size()) {
    const ssize_t got = getrandom(data.data() + filled, data.size() - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("no random bytes");
    }
    filled += static_cast<size_t>(got);
  }
  return Hex(data);
}

std::string Hash(const std::string& password, unsigned iterations) {
  std::vector<unsigned char> salt;
  FromHex(RandomToken(kSaltBytes), salt);
  return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + Hex(salt) + "$" +
         Hex(Derive(password, salt, iterations, kHashBytes));
}

bool WellFormed(const std::string& stored) {
  Parts parts;
  return Split(stored, parts);
}

bool Verify(const std::string& password, const std::string& stored) {
  Parts parts;
  if (!Split(stored, parts)) return false;
  const std::vector<unsigned char> derived =
      Derive(password, parts.salt, parts.iterations, parts.hash.size());
  return CRYPTO_memcmp(derived.data(), parts.hash.data(), derived.size()) == 0;
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace WebPassword
