#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace varo::platform {

// What the final response (after redirects) said, beyond its status. A
// header the response did not carry is empty.
struct HttpResponse {
  int Status = 0;
  std::string ETag;
  std::string LastModified;
  std::string ContentRange;
};

// Receives one HTTP response. Every call comes on the thread that called
// HttpGet. An exception thrown by a call ends the transfer; HttpGet lets it
// out after its own clean-up.
class HttpSink {
 public:
  virtual ~HttpSink() = default;

  // The status and headers of the final response (after redirects), once,
  // before any body data; also for an empty body. Always called before
  // HttpGet returns Complete; a failed transfer may end without it. False
  // ends the transfer (Aborted) and no body data follows.
  virtual bool OnResponse(const HttpResponse& response) = 0;

  // The next block of the final response's body, of any size above 0 (bodies
  // of redirections that were followed never come here). False ends the
  // transfer (Aborted).
  virtual bool OnData(const char* data, std::size_t size) = 0;

  // Asked before the connection is made and then at least every tenth of a
  // second, also while connecting or waiting for data: false ends the
  // transfer (Aborted) without waiting for the server.
  virtual bool KeepGoing() = 0;
};

enum class HttpOutcome {
  Complete,  // the whole body arrived, as long as the server announced
  BadUrl,    // not an http or https URL, or one that cannot be split; no connection made
  Failed,    // name resolution, connection, TLS, send or receive failed, the body ended
             // before its announced length, the transfer was too slow, or a redirection
             // came with a body far longer than any redirection needs (over 1 MiB)
  Aborted,   // a call of the sink returned false
};

// A request for the rest of a body: "Range: bytes=From-", and when IfRange
// is not empty "If-Range: <IfRange>", so that a server whose version has
// changed answers 200 with the whole body rather than 206 with a piece.
struct HttpRange {
  std::uint64_t From = 0;
  std::string IfRange;
};

// How long a transfer may take. Connect bounds the making of the connection.
// Once it is made, a transfer fails when it stays slower than
// LowSpeedBytesPerSecond for LowSpeedTime on end (measured over the last
// few seconds), so that a server dripping a few bytes now and then cannot
// hold it for ever; waiting for the response counts as no speed at all.
struct HttpLimits {
  std::chrono::seconds Connect{60};
  std::size_t LowSpeedBytesPerSecond = 1024;
  std::chrono::seconds LowSpeedTime{60};
};

// Fetches url with one GET request (HTTP/1.0, "Accept: */*", User-Agent
// "Pelliton_Orlan", no cache, no credentials, redirects followed, the
// system's proxy settings, https verified against the system's certificate
// store) and hands the final response to sink. A transfer that waits longer
// than limits allow fails. The request asks the server to keep the
// connection ("Connection: Keep-Alive"); a connection it keeps serves the
// next request to the same server, also from another thread. With range,
// the request asks for the body from range->From on; a 206 answer is then
// a response like any other (its body the piece that was sent), and a 200
// one carries the whole body. Without it, a 206 fails like a malformed
// answer would: the client asked for no piece. So does an answer in a
// transfer coding (chunked), which no server may send an HTTP/1.0 request,
// and one whose status has other than three digits or whose Content-Length
// (the last, when it has several) is no number; bytes past the announced
// length are no part of the body.
HttpOutcome HttpGet(const std::string& url, HttpSink& sink, const HttpLimits& limits = {},
                    const std::optional<HttpRange>& range = std::nullopt);

}  // namespace varo::platform
