// platform::HttpGet (WinINet) over https, against the Linux build's test
// servers (varo_tls_route_server, which scripts/test starts and names in
// the environment): certificates are checked against the system's store,
// into which the test CA is put under Wine.

#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <cstddef>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "WineHost.h"
#include "platform/Http.h"
#include "support/tls-route-server/TlsRoutes.h"

namespace varo::platform {
namespace {

namespace routes = test::tls_routes;

class BodySink : public HttpSink {
 public:
  bool OnResponse(const HttpResponse& response) override {
    Statuses.push_back(response.Status);
    return true;
  }
  bool OnData(const char* data, std::size_t size) override {
    Body.append(data, size);
    return true;
  }
  bool KeepGoing() override { return true; }

  std::vector<int> Statuses;
  std::string Body;
};

std::string Environment(const char* name) {
  char value[1024] = {};
  const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
  return length == 0 || length >= sizeof value ? std::string() : std::string(value, length);
}

// Puts the test CA into the current user's Root store; why it could not,
// or nothing.
std::optional<std::string> TrustTestCa(const std::string& caFile) {
  std::ifstream input(test::HostPath(caFile), std::ios::binary);
  const std::string pem{std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
  if (pem.empty()) {
    return "cannot read the test CA " + caFile;
  }
  DWORD size = 0;
  if (!::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr,
                              nullptr)) {
    return "the test CA is no PEM certificate";
  }
  std::vector<BYTE> der(size);
  ::CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                         nullptr);
  const HCERTSTORE store =
      ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
  if (store == nullptr) {
    return "cannot open the current user's Root store";
  }
  // Left in place: the prefix is the tests' own, and tests of other
  // processes may be using it.
  const bool added = ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                        CERT_STORE_ADD_USE_EXISTING, nullptr);
  ::CertCloseStore(store, 0);
  if (!added) {
    return "cannot add the test CA to the Root store (error " + std::to_string(::GetLastError()) +
           ")";
  }
  return std::nullopt;
}

class WinInetHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Trusted = Environment(routes::kTrustedPort);
    Untrusted = Environment(routes::kUntrustedPort);
    Plain = Environment(routes::kPlainPort);
    const std::string ca = Environment(routes::kCaFile);
    if (Trusted.empty() || Untrusted.empty() || Plain.empty() || ca.empty()) {
      GTEST_SKIP() << routes::kTrustedPort << ", " << routes::kUntrustedPort << ", "
                   << routes::kPlainPort << " or " << routes::kCaFile
                   << " is not set: scripts/test starts varo_tls_route_server (of the debug "
                      "build) and sets them";
    }
    // On Windows, adding a root asks the user in a box: there the test CA
    // must have been trusted beforehand.
    if (test::RunningUnderWine()) {
      if (const std::optional<std::string> problem = TrustTestCa(ca)) {
        GTEST_SKIP() << *problem;
      }
    }
  }

  // The certificates name "localhost" and 127.0.0.1.
  static std::string Url(const char* scheme, const std::string& port, const char* path) {
    return std::string(scheme) + "://localhost:" + port + path;
  }

  std::string Trusted;
  std::string Untrusted;
  std::string Plain;
};

TEST_F(WinInetHttpsTest, TheBodyArrivesWholeOverTrustedHttps) {
  BodySink sink;
  EXPECT_EQ(HttpGet(Url("https", Trusted, routes::kBody), sink), HttpOutcome::Complete);
  EXPECT_EQ(sink.Statuses, std::vector<int>{200});
  EXPECT_TRUE(sink.Body == routes::Body()) << sink.Body.size() << " bytes, or other bytes";
}

// A certificate that no trusted root signed: the transfer fails before any
// response.
TEST_F(WinInetHttpsTest, AnUntrustedCertificateFails) {
  BodySink sink;
  EXPECT_EQ(HttpGet(Url("https", Untrusted, routes::kBody), sink), HttpOutcome::Failed);
  EXPECT_TRUE(sink.Statuses.empty());
  EXPECT_TRUE(sink.Body.empty());
}

// As on Linux, a redirection may lead from https to http and back.
TEST_F(WinInetHttpsTest, RedirectionsBetweenHttpsAndHttpAreFollowed) {
  const std::string cases[] = {Url("https", Trusted, routes::kToPlain),
                               Url("http", Plain, routes::kToTrusted)};
  for (const std::string& url : cases) {
    SCOPED_TRACE(url);
    BodySink sink;
    EXPECT_EQ(HttpGet(url, sink), HttpOutcome::Complete);
    EXPECT_EQ(sink.Statuses, std::vector<int>{200});
    EXPECT_TRUE(sink.Body == routes::Body()) << sink.Body.size() << " bytes, or other bytes";
  }
}

// The certificate names the address too, as a subjectAltName iPAddress.
TEST_F(WinInetHttpsTest, AnAddressThatTheCertificateNamesMatches) {
  if (test::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's crypt32 matches a server name against the DNS names of a "
                    "certificate's subjectAltName only, never its iPAddress entries: "
                    "https://127.0.0.1 fails there with ERROR_INTERNET_SEC_CERT_CN_INVALID";
  }
  BodySink sink;
  EXPECT_EQ(HttpGet("https://127.0.0.1:" + Trusted + routes::kBody, sink), HttpOutcome::Complete);
  EXPECT_TRUE(sink.Body == routes::Body());
}

}  // namespace
}  // namespace varo::platform
