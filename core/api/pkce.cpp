#include "api/pkce.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "error.h"
#include "fileio.h"

namespace trellisant {
namespace {

std::string base64URL(std::string_view bytes) {
  std::string text = base64Encode(bytes);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '+') {
      out.push_back('-');
    } else if (c == '/') {
      out.push_back('_');
    } else if (c != '=') {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string randomURLSafe() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    throw PlatformError("The system could not generate random bytes.");
  return base64URL(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

std::string pkceChallenge(std::string_view verifier) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(verifier.data(), verifier.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw PlatformError("The system could not compute a SHA-256 digest.");
  return base64URL(std::string_view(reinterpret_cast<const char*>(digest), length));
}

}  // namespace trellisant
