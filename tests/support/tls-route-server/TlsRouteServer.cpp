// varo_tls_route_server: the test HTTP servers of the Linux build, over
// https (trusted and untrusted certificates) and plain http, serving the
// fixed routes of TlsRoutes.h on 127.0.0.1 until SIGTERM or SIGINT. The
// Windows build's tests under Wine reach them, as Wine's programs share the
// host's loopback. Prints one NAME=VALUE line per environment variable of
// TlsRoutes.h, then an empty line once every server listens.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "support/TestHttpServer.h"
#include "support/tls-route-server/TlsRoutes.h"

namespace {

using varo::test::TestHttpServer;
namespace routes = varo::test::tls_routes;

std::string LocalOrigin(const char* scheme, const TestHttpServer& server) {
  return std::string(scheme) + "://localhost:" + std::to_string(server.Port());
}

int Serve() {
  // The servers' threads take this mask: only sigwait below sees these.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  TestHttpServer trusted(TestHttpServer::Transport::TrustedTls);
  TestHttpServer untrusted(TestHttpServer::Transport::UntrustedTls);
  TestHttpServer plain(TestHttpServer::Transport::Plain);
  const std::string body = routes::Body();
  for (TestHttpServer* server : {&trusted, &untrusted, &plain}) {
    server->Serve(routes::kBody, body);
  }
  trusted.Redirect(routes::kToPlain, LocalOrigin("http", plain) + routes::kBody);
  plain.Redirect(routes::kToTrusted, LocalOrigin("https", trusted) + routes::kBody);

  std::printf("%s=%d\n%s=%d\n%s=%d\n%s=%s\n\n", routes::kTrustedPort, trusted.Port(),
              routes::kUntrustedPort, untrusted.Port(), routes::kPlainPort, plain.Port(),
              routes::kCaFile, TestHttpServer::TestCaFile().c_str());
  std::fflush(stdout);
  int received = 0;
  sigwait(&stop, &received);
  return 0;
}

}  // namespace

int main() {
  try {
    return Serve();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "varo_tls_route_server: %s\n", failure.what());
    return 1;
  }
}
