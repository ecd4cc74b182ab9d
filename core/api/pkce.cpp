#include "api/pkce.h"

#include <openssl/rand.h>

#include "digest.h"
#include "encoding.h"
#include "error.h"

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
  Digest digest(Digest::Kind::sha256);
  digest.update(verifier);
  return base64URL(digest.finish());
}

}  // namespace trellisant
