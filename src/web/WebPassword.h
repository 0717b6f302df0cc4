// The web console's password: kept in the configuration only as a salted PBKDF2-HMAC-SHA256
// hash, "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>", which `vallorin --web-password-hash`
// prints for a password read from standard input. Also the random tokens of sessions and forms.
#pragma once

#include <cstddef>
#include <string>

namespace WebPassword {

// Slow enough to make guessing a stolen hash expensive, quick enough on a gateway's ARM core
// (a login costs one derivation).
constexpr unsigned kIterations = 100000;

// A fresh random salt each call, so the same password never hashes to the same text twice.
std::string Hash(const std::string& password, unsigned iterations = kIterations);
// Whether the text has the form Hash() writes (the configuration check uses it).
bool WellFormed(const std::string& stored);
// Derives again with the stored salt and iterations and compares in constant time. False for a
// malformed hash.
bool Verify(const std::string& password, const std::string& stored);
// `bytes` random bytes from the system's generator as lower-case hex.
std::string RandomToken(size_t bytes = 16);
// Compares without an early exit, so the time taken tells nothing about where texts differ.
bool SameText(const std::string& a, const std::string& b);

}  // namespace WebPassword
