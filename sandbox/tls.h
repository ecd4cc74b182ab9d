#pragma once

#include <filesystem>

namespace trellisant::sandbox {

// The sandbox's certificate authority and the one server certificate it signed.
struct TlsMaterial {
  std::filesystem::path caFile;    // ca.pem: what clients trust
  std::filesystem::path certFile;  // server.pem
  std::filesystem::path keyFile;   // server-key.pem (0600)
};

// Names the server certificate covers: the company server and every storage-provider host
// the sandbox stands in for.
inline constexpr const char* kServerNames[] = {
    "trellisant.test",         "localhost",
    "storage.googleapis.com",  "sandbox.googleusercontent.com",
    "*.googleusercontent.com", "sandbox.s3.amazonaws.com",
    "*.amazonaws.com",         "*.s3.amazonaws.com",
    "sandbox.frame.io",        "*.frame.io",
    "sandbox.cloudfront.net",  "*.cloudfront.net"};

// Creates the folder and the three files in it, or reuses them when they are already there,
// belong together, cover every name and stay valid for at least a day. Throws PlatformError.
TlsMaterial ensureTlsMaterial(const std::filesystem::path& folder);

}  // namespace trellisant::sandbox
