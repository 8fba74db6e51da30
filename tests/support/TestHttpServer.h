#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace varo::test {

class RouteBook;

// A real HTTP (or HTTPS) server on 127.0.0.1 at a port of the system's
// choosing, answering on threads of its own from the moment it is
// constructed until it is destroyed. Tests tell it what to answer per path
// (the path as the request names it, decoded, without the query); any other
// path gets 404. Every request is recorded. All operations may be called
// from any thread while the server runs.
class TestHttpServer {
 public:
  enum class Transport {
    Plain,         // http
    TrustedTls,    // https with a certificate for 127.0.0.1 signed by TestCaFile()
    UntrustedTls,  // https with a self-signed certificate that nobody trusts
  };

  // Whether a connection serves more than one request.
  enum class Connections {
    OnePerRequest,  // every answer says "Connection: close", then the connection closes
    KeptAlive,      // kept while the client asks for it and the next request comes
                    // within a second
  };

  // One request as the server saw it.
  struct Request {
    std::string Method;
    std::string Version;                                       // e.g. "HTTP/1.0"
    std::string Path;                                          // decoded, without the query
    std::vector<std::pair<std::string, std::string>> Headers;  // grouped by name
    // The client's port of the connection the request came over: requests
    // over one connection share it, a new connection comes from another. 0
    // where the server does not tell.
    int ClientPort = 0;

    // How many header lines have this name (ASCII case ignored).
    std::size_t HeaderCount(const std::string& name) const;
    // The value of the first header of this name; empty when none.
    std::string Header(const std::string& name) const;
  };

  explicit TestHttpServer(Transport transport = Transport::Plain);
  // Only the Linux tests' server keeps connections; the Windows tests' one
  // serves one request per connection whatever is asked, and tells no
  // ClientPort.
  TestHttpServer(Transport transport, Connections connections);
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;
  // Releases every stalled answer (cutting it off), then stops.
  ~TestHttpServer();

  int Port() const;
  // "http://127.0.0.1:<port>" + path (https for the TLS transports).
  std::string Url(const std::string& path) const;

  // The CA certificate that signs the TrustedTls server's certificate. The
  // HTTP client trusts it when SSL_CERT_FILE names it.
  static std::filesystem::path TestCaFile();

  // Answers path with status and body (with its Content-Length).
  void Serve(const std::string& path, std::string body, int status = 200,
             std::string contentType = "application/octet-stream");

  // Answers path like Serve with status 200, then closes the connection
  // although the answer let it stay open, as a server does whose time for
  // idle connections has run out. body must not be empty.
  void ServeThenClose(const std::string& path, std::string body);

  // Answers path with a redirection to location (absolute, or a path on
  // this server), carrying body.
  void Redirect(const std::string& path, const std::string& location, int status = 302,
                std::string body = {});

  // Announces a Content-Length of announced bytes, sends sent (shorter),
  // then closes the connection.
  void ServeCutShort(const std::string& path, std::string sent, std::size_t announced);

  // Answers with body without a Content-Length, then closes the connection.
  void ServeWithoutLength(const std::string& path, std::string body);

  // Answers with body, handing it to the connection in blocks of the given
  // sizes, in turn and over again.
  void ServeInBlocks(const std::string& path, std::string body, std::vector<std::size_t> blocks);

  // Holds every request for path before sending any response, until
  // Release(); then answers with body. The server's destruction drops it.
  void StallBeforeResponse(const std::string& path, std::string body);

  // Answers with the status line, the full Content-Length of body, the ETag
  // kStalledETag and its first sentFirst bytes, then holds until Release()
  // and sends the rest. The server's destruction cuts it off.
  void StallAfter(const std::string& path, std::string body, std::size_t sentFirst);
  static constexpr const char* kStalledETag = "\"held\"";

  // Answers with the full Content-Length of body, then sends it bytes at a
  // time with a pause of every between the blocks. The server's destruction
  // cuts it off without waiting for the pause to end.
  void Drip(const std::string& path, std::string body, std::size_t bytes,
            std::chrono::milliseconds every);

  // Answers with body, carrying the validators that are not empty (ETag,
  // Last-Modified), and honours "Range: bytes=N-" as a server does:
  // 206 with the rest from N when an If-Range, if given, names one of them,
  // 416 when N is past the end, else 200 with all of it. When cutAt is above
  // 0, every answer closes the connection once the body's bytes before that
  // offset went out. A wrongPiece 206 sends and names the piece from N + 1.
  void ServeRanged(const std::string& path, std::string body, std::string etag,
                   std::string lastModified, std::size_t cutAt = 0, bool wrongPiece = false);

  // Lets every stalled answer, present and future, go on.
  void Release();

  // Every request so far, oldest first.
  std::vector<Request> Requests() const;
  // How many requests named path.
  std::size_t RequestCount(const std::string& path) const;
  // Waits until count requests named path; false when timeout passed first.
  bool WaitForRequests(const std::string& path, std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

 private:
  // The answers and requests, kept by the part every server shares.
  RouteBook& Book() const;

  struct State;
  std::unique_ptr<State> Shared;
};

}  // namespace varo::test
