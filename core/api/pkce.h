#pragma once

#include <string>
#include <string_view>

namespace trellisant {

// 32 random bytes in base64url without padding: 43 characters of A–Z, a–z, 0–9, "-" and "_".
// Used for the PKCE code verifier and the OAuth state value.
std::string randomURLSafe();

// The S256 code challenge of RFC 7636: base64url (no padding) of SHA-256 of the verifier.
std::string pkceChallenge(std::string_view verifier);

}  // namespace trellisant
