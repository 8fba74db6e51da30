#pragma once

#include <cstddef>
#include <string>

namespace varo::platform {

// Receives one HTTP response. Every call comes on the thread that called
// HttpGet.
class HttpSink {
 public:
  virtual ~HttpSink() = default;

  // The status of the final response (after redirects), once, before any
  // body data; also for an empty body. False ends the transfer (Aborted).
  virtual bool OnResponse(int status) = 0;

  // The next block of the body, of any size. False ends the transfer
  // (Aborted).
  virtual bool OnData(const char* data, std::size_t size) = 0;

  // Asked often, also while connecting or waiting for data: false ends the
  // transfer (Aborted) without waiting for the server.
  virtual bool KeepGoing() = 0;
};

enum class HttpOutcome {
  Complete,  // the whole body arrived, as long as the server announced
  BadUrl,    // not an http or https URL, or one that cannot be split; no connection made
  Failed,    // name resolution, connection, TLS, send or receive failed, the body ended
             // before its announced length, or the transfer stalled
  Aborted,   // a call of the sink returned false
};

// Fetches url with one GET request (HTTP/1.0, "Accept: */*", User-Agent
// "Pelliton_Orlan", no cache, no credentials, redirects followed, the
// system's proxy settings, https verified against the system's certificate
// store) and hands the final response to sink.
HttpOutcome HttpGet(const std::string& url, HttpSink& sink);

}  // namespace varo::platform
