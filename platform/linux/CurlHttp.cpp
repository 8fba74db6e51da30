// platform::HttpGet on libcurl's multi interface, so that the sink can end a
// transfer at any moment, also while connecting or waiting for the server.
// Connections outlive their transfer: see ConnectionPool.

#include <curl/curl.h>

#include <array>
#include <cassert>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Http.h"

namespace varo::platform {
namespace {

// How long one wait for network activity may last before the sink is asked
// again whether to go on.
constexpr int kPollMilliseconds = 50;

constexpr long kMaxRedirects = 10;

// The most bytes of a redirection's body that are read. libcurl reads the
// body of a redirection it follows to its end before it asks for the new
// location, and the sink never sees it; the short page a server sends with
// a redirection is far below this.
constexpr curl_off_t kMaxRedirectionBody = curl_off_t{1} << 20;

void InitialiseCurl() {
  static std::once_flag once;
  std::call_once(once, [] {
    const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
    assert(result == CURLE_OK && "libcurl could not be initialised");
    (void)result;
  });
}

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
struct ShareDeleter {
  void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};

using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;
using ShareHandle = std::unique_ptr<CURLSH, ShareDeleter>;

// How many multi handles, each with the connections it keeps, wait for the
// next transfer; more are closed when their transfer ends.
constexpr std::size_t kMaxIdleMultis = 4;

// Keeps connections between transfers. A multi handle keeps the connections
// of its transfers that the server leaves open; each transfer borrows one
// and gives it back at its end, and the next transfer takes the one given
// back last. So consecutive transfers, each on a thread of its own, reuse
// one connection to their server, while a multi handle (and every connection
// in it) is only ever used by one thread at a time, as libcurl requires: it
// does not support one connection cache in a share object used by
// concurrent threads. A connection the server has closed in the meantime is
// found dead and replaced by libcurl. Name look-ups and TLS sessions, which
// a share object may give to concurrent threads, are shared by every
// transfer through one, under one lock per kind of data.
class ConnectionPool {
 public:
  static ConnectionPool& Instance() {
    static ConnectionPool pool;
    return pool;
  }

  // A multi handle for one transfer: the one given back last, or a new one;
  // null when libcurl cannot make one.
  MultiHandle Borrow() {
    {
      std::lock_guard guard(Mutex);
      if (!Idle.empty()) {
        MultiHandle multi = std::move(Idle.back());
        Idle.pop_back();
        return multi;
      }
    }
    return MultiHandle(curl_multi_init());
  }

  // Gives back a multi handle without any transfer in it.
  void GiveBack(MultiHandle multi) {
    std::unique_lock lock(Mutex);
    if (Idle.size() < kMaxIdleMultis) {
      Idle.push_back(std::move(multi));
      return;
    }
    lock.unlock();
    multi.reset();  // closes its connections outside the lock
  }

  // The share object of every transfer; null when libcurl cannot make one.
  CURLSH* Share() const { return SharedData.get(); }

 private:
  ConnectionPool() : SharedData(curl_share_init()) {
    CURLSH* const share = SharedData.get();
    if (share == nullptr) {
      return;
    }
    bool ok =
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &ConnectionPool::Lock) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &ConnectionPool::Unlock) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_USERDATA, static_cast<void*>(this)) == CURLSHE_OK;
    for (const curl_lock_data data : {CURL_LOCK_DATA_DNS, CURL_LOCK_DATA_SSL_SESSION}) {
      ok = ok && curl_share_setopt(share, CURLSHOPT_SHARE, data) == CURLSHE_OK;
    }
    if (!ok) {
      SharedData.reset();  // transfers go on without it
    }
  }

  static std::mutex& LockOf(void* self, curl_lock_data data) {
    auto& locks = static_cast<ConnectionPool*>(self)->Locks;
    const auto index = static_cast<std::size_t>(data);
    assert(index < locks.size() && "a kind of data libcurl does not name");
    return locks[index < locks.size() ? index : 0];
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    LockOf(self, data).lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) { LockOf(self, data).unlock(); }

  // One lock per kind of shared data, taken and released by libcurl on the
  // threads of the transfers.
  std::array<std::mutex, CURL_LOCK_DATA_LAST> Locks;
  ShareHandle SharedData;
  std::mutex Mutex;
  // Guarded by Mutex. Declared last, so that at exit the connections close
  // before the share object and its locks go.
  std::vector<MultiHandle> Idle;
};

// Splits url before anything is sent: only an absolute http or https URL
// with a host passes. Blanks and other bytes that a URL cannot hold are
// percent-encoded; a user name, password or login options in the URL are
// dropped, as a request never carries credentials.
UrlHandle SplitUrl(const std::string& url) {
  UrlHandle handle(curl_url());
  if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(),
                              CURLU_ALLOW_SPACE | CURLU_URLENCODE) != CURLUE_OK) {
    return nullptr;
  }
  char* rawScheme = nullptr;
  if (curl_url_get(handle.get(), CURLUPART_SCHEME, &rawScheme, 0) != CURLUE_OK) {
    return nullptr;
  }
  const CurlString scheme(rawScheme);
  const std::string name(scheme.get());
  if (name != "http" && name != "https") {
    return nullptr;
  }
  curl_url_set(handle.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0);
  curl_url_set(handle.get(), CURLUPART_OPTIONS, nullptr, 0);
  return handle;
}

constexpr long kStatusPartial = 206;

// The value of a header of the final response (redirections left out); empty
// when it carried none.
std::string FinalHeader(CURL* easy, const char* name) {
  curl_header* header = nullptr;
  if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK ||
      header == nullptr || header->value == nullptr) {
    return {};
  }
  return header->value;
}

// The state of one transfer, shared with libcurl's callbacks.
class Transfer {
 public:
  Transfer(HttpSink& sink, bool rangeAsked) : Sink(sink), RangeAsked(rangeAsked) {}

  // Hands the final response's status and headers to the sink, once. False
  // when the sink declined it or threw, or when the response is one that
  // is refused (Refused): a piece that was not asked for, or a body in a
  // transfer coding, which no server may send an HTTP/1.0 request (and
  // which the Windows backend cannot tell whole from cut short).
  bool Respond(CURL* easy) {
    if (Responded) {
      return !Declined;
    }
    Responded = true;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if ((status == kStatusPartial && !RangeAsked) ||
        !FinalHeader(easy, "Transfer-Encoding").empty()) {
      Refused = true;
      Declined = true;
      return false;
    }
    HttpResponse response;
    response.Status = static_cast<int>(status);
    response.ETag = FinalHeader(easy, "ETag");
    response.LastModified = FinalHeader(easy, "Last-Modified");
    response.ContentRange = FinalHeader(easy, "Content-Range");
    return Call([&] { return Sink.OnResponse(response); });
  }

  // libcurl's write callback: the body of the final response (libcurl does
  // not pass on the bodies of redirections it follows).
  static size_t Write(char* data, size_t size, size_t count, void* self) {
    auto& transfer = *static_cast<Transfer*>(self);
    const size_t bytes = size * count;
    if (!transfer.Respond(transfer.Easy)) {
      return CURL_WRITEFUNC_ERROR;
    }
    if (bytes == 0) {
      return 0;
    }
    if (!transfer.Call([&] { return transfer.Sink.OnData(data, bytes); })) {
      return CURL_WRITEFUNC_ERROR;
    }
    return bytes;
  }

  // libcurl's progress callback. Until the final response reaches the sink
  // (Respond), what comes is the body of a redirection being followed: a
  // longer one than kMaxRedirectionBody ends the transfer (Failed).
  static int Progress(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    const auto& transfer = *static_cast<const Transfer*>(self);
    return !transfer.Responded && received > kMaxRedirectionBody ? 1 : 0;
  }

  // Calls the sink; remembers a refusal or an exception. Exceptions must not
  // pass through libcurl's frames: they wait in Pending until HttpGet has
  // cleaned up.
  template <class Function>
  bool Call(Function call) {
    try {
      if (!call()) {
        Declined = true;
      }
    } catch (...) {
      Pending = std::current_exception();
      Declined = true;
    }
    return !Declined;
  }

  HttpSink& Sink;
  const bool RangeAsked;
  CURL* Easy = nullptr;
  bool Responded = false;
  bool Declined = false;
  bool Refused = false;  // an answer that fails whatever its body (see Respond)
  std::exception_ptr Pending;
};

// The certificate store: OpenSSL's defaults, which its usual variables
// SSL_CERT_FILE and SSL_CERT_DIR replace (libcurl itself loads the bundle it
// was built with and ignores them). The program only reads its environment,
// never writes it, so reading it here races with nothing.
void SetCertificateStore(CURL* easy) {
  const char* const file = std::getenv("SSL_CERT_FILE");  // NOLINT(concurrency-mt-unsafe)
  const char* const dir = std::getenv("SSL_CERT_DIR");    // NOLINT(concurrency-mt-unsafe)
  if (file != nullptr && *file != '\0') {
    curl_easy_setopt(easy, CURLOPT_CAINFO, file);
  }
  if (dir != nullptr && *dir != '\0') {
    curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
  }
}

bool Configure(CURL* easy, CURLU* url, curl_slist* headers, Transfer& transfer,
               const HttpLimits& limits, const std::string& range) {
  assert(limits.LowSpeedBytesPerSecond <= static_cast<std::size_t>(LONG_MAX) &&
         "a speed limit libcurl cannot take");
  bool ok = true;
  const auto set = [&](CURLoption option, auto value) {
    ok = ok && curl_easy_setopt(easy, option, value) == CURLE_OK;
  };
  set(CURLOPT_CURLU, url);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_HTTPGET, 1L);
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  set(CURLOPT_HTTPHEADER, headers);
  if (!range.empty()) {
    // Sent as "Range: bytes=<range>"; libcurl passes on whatever status
    // comes back, a 200 with the whole body too.
    set(CURLOPT_RANGE, range.c_str());
  }
  // Large receive blocks: fewer reads from the socket and fewer calls into
  // the sink on a fast link.
  set(CURLOPT_BUFFERSIZE, 256L * 1024);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, kMaxRedirects);
  set(CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED));
  // No authentication of any kind: the credentials of a Location followed
  // (those of the URL given are removed before) are never sent either.
  set(CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_NONE));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_CONNECTTIMEOUT, static_cast<long>(limits.Connect.count()));
  set(CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(limits.LowSpeedBytesPerSecond));
  set(CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.LowSpeedTime.count()));
#if LIBCURL_VERSION_NUM >= 0x075700
  // A cancelled transfer does not wait for a name look-up still running.
  set(CURLOPT_QUICK_EXIT, 1L);
#endif
  if (CURLSH* const share = ConnectionPool::Instance().Share(); share != nullptr) {
    set(CURLOPT_SHARE, share);
  }
  set(CURLOPT_WRITEFUNCTION, &Transfer::Write);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, &Transfer::Progress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
  SetCertificateStore(easy);
  return ok;
}

}  // namespace

HttpOutcome HttpGet(const std::string& url, HttpSink& sink, const HttpLimits& limits,
                    const std::optional<HttpRange>& range) {
  InitialiseCurl();
  const UrlHandle split = SplitUrl(url);
  if (!split) {
    return HttpOutcome::BadUrl;
  }

  // Exactly one of each on the wire: these replace libcurl's own Accept and
  // the User-Agent it would otherwise leave out. An HTTP/1.0 server closes
  // the connection after its answer unless asked to keep it.
  std::vector<std::string> lines{"Accept: */*", "User-Agent: Pelliton_Orlan",
                                 "Cache-Control: no-cache", "Pragma: no-cache",
                                 "Connection: Keep-Alive"};
  std::string rangeText;
  if (range) {
    if (range->IfRange.find_first_of("\r\n") != std::string::npos) {
      return HttpOutcome::Failed;  // would break the request apart: none is sent
    }
    rangeText = std::to_string(range->From) + "-";
    if (!range->IfRange.empty()) {
      lines.push_back("If-Range: " + range->IfRange);
    }
  }
  HeaderList headers;
  for (const std::string& line : lines) {
    curl_slist* const list = curl_slist_append(headers.get(), line.c_str());
    if (list == nullptr) {
      return HttpOutcome::Failed;
    }
    if (!headers) {
      headers.reset(list);  // the first line makes the list
    }
  }

  Transfer transfer(sink, range.has_value());
  const EasyHandle easy(curl_easy_init());
  if (!easy) {
    return HttpOutcome::Failed;
  }
  // The multi handle goes back to the pool once the easy handle has left it,
  // with the connection, if the server keeps it; one whose state is in doubt
  // after a failure of its own is closed instead.
  struct Borrowed {
    MultiHandle Multi = ConnectionPool::Instance().Borrow();
    CURL* Easy = nullptr;
    bool Sound = true;
    Borrowed() = default;
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    ~Borrowed() {
      if (!Multi) {
        return;
      }
      const bool left = Easy == nullptr || curl_multi_remove_handle(Multi.get(), Easy) == CURLM_OK;
      if (left && Sound) {
        ConnectionPool::Instance().GiveBack(std::move(Multi));
      }
    }
  } borrowed;
  CURLM* const multi = borrowed.Multi.get();
  if (multi == nullptr) {
    return HttpOutcome::Failed;
  }
  transfer.Easy = easy.get();
  if (!Configure(easy.get(), split.get(), headers.get(), transfer, limits, rangeText) ||
      curl_multi_add_handle(multi, easy.get()) != CURLM_OK) {
    return HttpOutcome::Failed;
  }
  borrowed.Easy = easy.get();

  bool failed = false;
  for (;;) {
    if (!transfer.Call([&] { return sink.KeepGoing(); })) {
      break;
    }
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      failed = true;
      borrowed.Sound = false;
      break;
    }
    if (running == 0 || transfer.Declined) {
      break;
    }
    if (curl_multi_poll(multi, nullptr, 0, kPollMilliseconds, nullptr) != CURLM_OK) {
      failed = true;
      borrowed.Sound = false;
      break;
    }
  }

  CURLcode result = CURLE_OK;
  if (!failed && !transfer.Declined) {
    int left = 0;
    const CURLMsg* message = curl_multi_info_read(multi, &left);
    assert(message != nullptr && message->msg == CURLMSG_DONE);
    result = message->data.result;
    if (result == CURLE_OK) {
      // An empty body: the status still goes to the sink.
      transfer.Respond(easy.get());
    }
  }
  if (transfer.Pending) {
    std::rethrow_exception(transfer.Pending);
  }
  if (transfer.Refused) {
    return HttpOutcome::Failed;
  }
  if (transfer.Declined) {
    return HttpOutcome::Aborted;
  }
  return failed || result != CURLE_OK ? HttpOutcome::Failed : HttpOutcome::Complete;
}

}  // namespace varo::platform
