#pragma once

#include <cstddef>
#include <string>

// What the TLS route server (TlsRouteServer.cpp, a Linux program that
// scripts/test starts for the Windows build's tests under Wine) serves, and
// how it tells where. Shared by the server and the tests.
namespace varo::test::tls_routes {

// The environment variables that scripts/test sets from the server's
// output: the ports of its https server with a certificate signed by the
// test CA, of its https server with a self-signed one, of its plain http
// server, and the test CA's file (a Linux path).
inline constexpr const char* kTrustedPort = "VARO_TLS_TRUSTED_PORT";
inline constexpr const char* kUntrustedPort = "VARO_TLS_UNTRUSTED_PORT";
inline constexpr const char* kPlainPort = "VARO_TLS_PLAIN_PORT";
inline constexpr const char* kCaFile = "VARO_TLS_CA";

// Every server answers kBody with Body(); the trusted https server
// redirects kToPlain to the plain server's kBody, and the plain server
// redirects kToTrusted to the trusted server's kBody, both by the name
// "localhost".
inline constexpr const char* kBody = "/body";
inline constexpr const char* kToPlain = "/to-plain";
inline constexpr const char* kToTrusted = "/to-trusted";

// Bytes that differ from one offset to the next, over several TLS records.
inline std::string Body() {
  constexpr std::size_t kSize = 200'000;
  std::string body(kSize, '\0');
  for (std::size_t i = 0; i < kSize; ++i) {
    body[i] = static_cast<char>((i * 7 + i / 251) % 256);
  }
  return body;
}

}  // namespace varo::test::tls_routes
