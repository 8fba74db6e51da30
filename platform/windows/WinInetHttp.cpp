// platform::HttpGet on WinINet. WinINet's synchronous calls block, so they
// run on a helper thread; the calling thread asks the sink whether to go on,
// hands it what the helper received, watches the limits, and closes the
// handles to end a transfer early. Every sink call stays on the calling
// thread.

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/DecimalText.h"
#include "platform/Http.h"
#include "platform/windows/WinHostName.h"

namespace varo::platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long the calling thread waits for news from the helper before it asks
// the sink again whether to go on.
constexpr auto kPoll = std::chrono::milliseconds(50);
// How long an ended transfer waits for its helper to leave a blocking call.
// A helper still blocked after that is left to finish on its own: it holds
// the state it needs, its handles are closed, and it calls no sink. (Wine's
// InternetCloseHandle does not break off an HttpSendRequestW or
// InternetQueryDataAvailable blocked on another thread; such a helper ends
// at the receive timeout set below, or when the server closes.)
constexpr auto kHelperGrace = std::chrono::milliseconds(200);
// The largest read, and how much received data may wait for the sink.
constexpr DWORD kReadSize = 1024;
constexpr std::size_t kMaxQueuedBytes = std::size_t{64} * 1024;
// WinINet's own receive timeout outlasts the low-speed limit by this much,
// so that the limit decides and the timeout only frees a helper.
constexpr auto kReceiveTimeoutMargin = std::chrono::seconds(5);

// Redirections are followed here, not by WinINet (which under Wine follows
// them without end, and to any scheme): more than this many fail.
constexpr int kMaxRedirections = 10;

constexpr wchar_t kAgent[] = L"Pelliton - MFC App";
constexpr wchar_t kHeaders[] =
    L"Accept: */*\r\nUser-Agent: Pelliton_Orlan\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n";

std::optional<std::wstring> Widen(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  if (text.empty()) {
    return std::wstring();
  }
  const int size = static_cast<int>(text.size());
  const int length =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (length <= 0) {
    return std::nullopt;
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, wide.data(), length);
  return wide;
}

std::optional<std::string> Narrow(std::wstring_view text) {
  if (text.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  if (text.empty()) {
    return std::string();
  }
  const int size = static_cast<int>(text.size());
  const int length = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size,
                                           nullptr, 0, nullptr, nullptr);
  if (length <= 0) {
    return std::nullopt;
  }
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size, narrow.data(), length,
                        nullptr, nullptr);
  return narrow;
}

// The authority (host and port) is checked here rather than left to
// InternetCrackUrlW, whose checks of ports and IPv6 brackets are not
// documented: a port is 1 to 65535, a bracket is closed, a host is given.
bool AuthorityIsValid(std::string_view url) {
  const std::size_t separator = url.find("://");
  if (separator == std::string_view::npos) {
    return false;
  }
  const std::size_t begin = separator + 3;
  std::string_view authority = url.substr(begin, url.find_first_of("/?#", begin) - begin);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      return false;
    }
    host = authority.substr(0, close + 1);
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') {
        return false;
      }
      port = rest.substr(1);
    }
  } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty() || port.size() > 5 ||
      !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  if (port.empty()) {
    return true;
  }
  const unsigned long number = std::stoul(std::string(port));
  return number >= 1 && number <= 65535;
}

struct UrlParts {
  std::wstring Url;  // the whole URL, as cracked
  // The host has letters beyond ASCII that no host name may hold: the URL
  // is well formed, but no request can go there.
  bool Unreachable = false;
  bool Secure = false;
  std::wstring Host;
  INTERNET_PORT Port = 0;
  std::wstring Object;  // path and query, never the fragment
};

// Where the host of url's authority lies, as the offset of its first byte
// and its length; none when url has no authority.
std::optional<std::pair<std::size_t, std::size_t>> FindHost(std::string_view url) {
  const std::size_t separator = url.find("://");
  if (separator == std::string_view::npos) {
    return std::nullopt;
  }
  std::size_t begin = separator + 3;
  const std::size_t end = std::min(url.find_first_of("/?#", begin), url.size());
  if (const std::size_t at = url.substr(begin, end - begin).rfind('@');
      at != std::string_view::npos) {
    begin += at + 1;
  }
  const std::string_view authority = url.substr(begin, end - begin);
  const std::size_t close = authority.starts_with('[') ? authority.find(']') : 0;
  const std::size_t colon = authority.find(':', close == std::string_view::npos ? 0 : close);
  return std::pair{begin, std::min(colon, authority.size())};
}

// Splits url before anything is sent: only an absolute http or https URL
// with a host passes. A host with letters beyond ASCII (in UTF-8) is given
// in its ASCII form, as the Linux backend's libcurl resolves it; other
// blanks and bytes beyond ASCII are percent-encoded, as the Linux backend
// sends them; other control characters are refused. A user name or
// password in the URL is dropped: a request never carries credentials.
std::optional<UrlParts> SplitUrl(const std::string& given) {
  if (!Widen(given)) {
    return std::nullopt;  // no valid UTF-8
  }
  std::string url = given;
  bool unreachable = false;
  if (const auto host = FindHost(url)) {
    const std::string_view name = std::string_view(url).substr(host->first, host->second);
    if (std::any_of(name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; })) {
      const std::optional<std::wstring> ascii = AsciiHostName(*Widen(name));
      const std::optional<std::string> narrow = ascii ? Narrow(*ascii) : std::nullopt;
      // A name that has no ASCII form is kept out of the checks below, so
      // that the URL fails as one whose name does not resolve; it is never
      // looked up.
      unreachable = !narrow;
      url.replace(host->first, host->second, narrow ? *narrow : std::string("host.invalid"));
    }
  }
  std::string escaped;
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      return std::nullopt;
    }
    if (c == ' ' || byte >= 0x80) {
      constexpr char kHex[] = "0123456789ABCDEF";
      escaped += {'%', kHex[byte >> 4], kHex[byte & 0xF]};
    } else {
      escaped += c;
    }
  }
  if (!AuthorityIsValid(escaped)) {
    return std::nullopt;
  }
  const std::optional<std::wstring> wide = Widen(escaped);
  if (!wide || wide->empty()) {
    return std::nullopt;
  }
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof parts;
  // Lengths above 0 without buffers: the parts point into the cracked text.
  parts.dwSchemeLength = 1;
  parts.dwHostNameLength = 1;
  parts.dwUrlPathLength = 1;
  parts.dwExtraInfoLength = 1;
  if (!::InternetCrackUrlW(wide->c_str(), static_cast<DWORD>(wide->size()), 0, &parts) ||
      (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
      parts.lpszHostName == nullptr || parts.dwHostNameLength == 0) {
    return std::nullopt;
  }
  UrlParts split;
  split.Url = *wide;
  split.Unreachable = unreachable;
  split.Secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  split.Host.assign(parts.lpszHostName, parts.dwHostNameLength);
  split.Port = parts.nPort;
  if (parts.lpszUrlPath != nullptr) {
    split.Object.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  }
  if (parts.lpszExtraInfo != nullptr) {
    split.Object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  }
  if (const std::size_t fragment = split.Object.find(L'#'); fragment != std::wstring::npos) {
    split.Object.erase(fragment);
  }
  if (split.Object.empty() || split.Object.front() != L'/') {
    split.Object.insert(0, L"/");
  }
  return split;
}

DWORD Milliseconds(std::chrono::milliseconds time) {
  return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(time.count(), 0, MAXDWORD));
}

// A block of the body and when it arrived.
struct Block {
  Clock::time_point When;
  std::string Bytes;
};

enum class Finish { Complete, Failed, Cancelled };

// What the helper received since the calling thread last looked.
struct News {
  std::optional<HttpResponse> Response;
  std::vector<Block> Blocks;
  std::optional<Finish> End;
};

// The state of one transfer, shared by the calling thread, the helper
// thread and WinINet's status callback.
class State {
 public:
  // Set by the calling thread before the helper starts, read-only then: the
  // process's internet handle (SharedSession), which is never closed, and
  // the timeouts of the connection handles, in milliseconds.
  HINTERNET Session = nullptr;
  DWORD ConnectTimeout = 0;
  std::optional<DWORD> ReceiveTimeout;
  // Header lines each request carries besides kHeaders (a range asked
  // for), each ended by CR LF; empty for none.
  std::wstring ExtraHeaders;

  // WinINet's status callback (on whichever thread made the call): notes
  // when the connection is made. It takes no lock, as it also runs inside
  // InternetCloseHandle on the calling thread, which holds Mutex there.
  static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID, DWORD) {
    if (status == INTERNET_STATUS_CONNECTED_TO_SERVER || status == INTERNET_STATUS_REQUEST_SENT) {
      reinterpret_cast<State*>(context)->MarkConnected();
    }
  }

  void MarkConnected() {
    std::int64_t expected = 0;
    ConnectedAt.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
  }

  std::optional<Clock::time_point> Connected() const {
    const std::int64_t at = ConnectedAt.load();
    if (at == 0) {
      return std::nullopt;
    }
    return Clock::time_point(Clock::duration(at));
  }

  // Helper side. Each returns false once the transfer has been cancelled;
  // the helper then touches no handle again.

  // Before each blocking call: waits while the sink has enough to take.
  bool Proceed() {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [this] { return Cancelled || QueuedBytes < kMaxQueuedBytes; });
    return !Cancelled;
  }

  bool PushResponse(HttpResponse response) {
    MarkConnected();
    {
      std::lock_guard guard(Mutex);
      if (Cancelled) {
        return false;
      }
      Pending.Response = std::move(response);
    }
    Changed.notify_all();
    return true;
  }

  bool PushData(const char* data, std::size_t size) {
    {
      std::lock_guard guard(Mutex);
      if (Cancelled) {
        return false;
      }
      Pending.Blocks.push_back({Clock::now(), std::string(data, size)});
      QueuedBytes += size;
    }
    Changed.notify_all();
    return true;
  }

  void End(Finish finish) {
    {
      std::lock_guard guard(Mutex);
      Pending.End = finish;
      HelperDone = true;
    }
    Changed.notify_all();
  }

  // Opens the connection and request of one GET of url, in place of the
  // previous ones; null once cancelled or when WinINet cannot. These calls
  // make no connection yet, so they do not block.
  HINTERNET OpenRequest(const UrlParts& url) {
    std::lock_guard guard(Mutex);
    if (Cancelled) {
      return nullptr;
    }
    CloseRequest();
    const auto context = reinterpret_cast<DWORD_PTR>(this);
    Connection = ::InternetConnectW(Session, url.Host.c_str(), url.Port, nullptr, nullptr,
                                    INTERNET_SERVICE_HTTP, 0, context);
    if (Connection == nullptr) {
      return nullptr;
    }
    ::InternetSetOptionW(Connection, INTERNET_OPTION_CONNECT_TIMEOUT, &ConnectTimeout,
                         sizeof ConnectTimeout);
    ::InternetSetOptionW(Connection, INTERNET_OPTION_SEND_TIMEOUT, &ConnectTimeout,
                         sizeof ConnectTimeout);
    if (ReceiveTimeout) {
      ::InternetSetOptionW(Connection, INTERNET_OPTION_RECEIVE_TIMEOUT, &*ReceiveTimeout,
                           sizeof *ReceiveTimeout);
    }
    // Redirections are followed by Receive, each checked like the URL given.
    // The server is asked to keep the connection for the next request.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_AUTH |
                  INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTO_REDIRECT |
                  INTERNET_FLAG_KEEP_CONNECTION;
    if (url.Secure) {
      flags |= INTERNET_FLAG_SECURE;
    }
    Request = ::HttpOpenRequestW(Connection, L"GET", url.Object.c_str(), L"HTTP/1.0", nullptr,
                                 nullptr, flags, context);
    if (Request == nullptr ||
        !::HttpAddRequestHeadersW(Request, kHeaders, static_cast<DWORD>(-1L),
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE) ||
        (!ExtraHeaders.empty() &&
         !::HttpAddRequestHeadersW(Request, ExtraHeaders.c_str(), static_cast<DWORD>(-1L),
                                   HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))) {
      return nullptr;
    }
    return Request;
  }

  // Calling thread side.

  // Waits up to timeout for news, then takes all there is.
  News Take(std::chrono::milliseconds timeout) {
    News news;
    {
      std::unique_lock lock(Mutex);
      Changed.wait_for(lock, timeout, [this] {
        return Pending.Response || !Pending.Blocks.empty() || Pending.End;
      });
      std::swap(news, Pending);
      QueuedBytes = 0;
    }
    Changed.notify_all();
    return news;
  }

  // Ends the transfer: the helper stops at its next step, and closing the
  // request and connection handles breaks off a blocking call it is in. A
  // helper that has just checked Cancelled may still make one call with a
  // closed handle, which fails. A connection whose response was read to its
  // end stays with WinINet for the next request to its server.
  void Cancel() {
    {
      std::lock_guard guard(Mutex);
      Cancelled = true;
      CloseRequest();
    }
    Changed.notify_all();
  }

  bool WaitForHelper(std::chrono::milliseconds timeout) {
    std::unique_lock lock(Mutex);
    return Changed.wait_for(lock, timeout, [this] { return HelperDone; });
  }

 private:
  // Needs Mutex.
  void CloseRequest() {
    for (HINTERNET* handle : {&Request, &Connection}) {
      if (*handle != nullptr) {
        ::InternetCloseHandle(*handle);
        *handle = nullptr;
      }
    }
  }

  std::atomic<std::int64_t> ConnectedAt{0};  // Clock ticks; 0 while not connected

  std::mutex Mutex;
  std::condition_variable Changed;
  // Guarded by Mutex:
  News Pending;
  std::size_t QueuedBytes = 0;
  HINTERNET Connection = nullptr;
  HINTERNET Request = nullptr;
  bool Cancelled = false;
  bool HelperDone = false;
};

// The value of a header of the response as WinINet gives it; none when it
// has none. With index, the index-th of the headers of that name (counted
// from 0), and index is moved on to the next.
std::optional<std::wstring> HeaderValue(HINTERNET request, DWORD query, DWORD* index = nullptr) {
  const DWORD asked = index != nullptr ? *index : 0;
  DWORD at = asked;
  DWORD size = 0;
  if (::HttpQueryInfoW(request, query, nullptr, &size, index != nullptr ? &at : nullptr) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return std::nullopt;
  }
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  at = asked;
  if (!::HttpQueryInfoW(request, query, text.data(), &size, index != nullptr ? &at : nullptr)) {
    return std::nullopt;
  }
  if (index != nullptr) {
    *index = at;
  }
  text.resize(size / sizeof(wchar_t));
  return text;
}

// The value of a header of the response, as text; empty when it has none
// (or one that is not text).
std::string HeaderText(HINTERNET request, DWORD query) {
  const std::optional<std::wstring> value = HeaderValue(request, query);
  return value ? Narrow(*value).value_or(std::string()) : std::string();
}

// What the response says of the length of its body, read as the Linux
// backend's libcurl reads it: the last Content-Length counts; blanks, a '+'
// and digits, with anything after the digits ignored. Length is none when
// the response gave none, or one too large for any body.
struct Announced {
  std::optional<std::uint64_t> Length;
  bool Malformed = false;  // a value without digits, or a negative one
};

Announced ContentLength(HINTERNET request) {
  std::optional<std::wstring> last;
  for (DWORD index = 0;;) {
    const DWORD asked = index;
    std::optional<std::wstring> value = HeaderValue(request, HTTP_QUERY_CONTENT_LENGTH, &index);
    if (!value) {
      break;
    }
    last = std::move(value);
    if (index <= asked) {
      break;  // no next one to go on to
    }
  }
  if (!last) {
    return {};
  }
  std::wstring_view text = *last;
  while (!text.empty() && (text.front() == L' ' || text.front() == L'\t')) {
    text.remove_prefix(1);
  }
  if (!text.empty() && text.front() == L'+') {
    text.remove_prefix(1);
  }
  std::string digits;
  for (std::size_t i = 0; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    digits += static_cast<char>(text[i]);
  }
  if (digits.empty()) {
    return {.Length = std::nullopt, .Malformed = true};
  }
  // Digits that do not fit, or a length beyond any file's, announce none.
  std::optional<std::uint64_t> length = ParseUnsignedDecimal(digits);
  if (length && *length > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    length.reset();
  }
  return {.Length = length, .Malformed = false};
}

// The target of a redirection: the Location of a 301, 302, 303, 307 or 308
// response; none for other statuses or without a Location.
std::optional<std::wstring> Location(HINTERNET request, DWORD status) {
  if (status != HTTP_STATUS_MOVED && status != HTTP_STATUS_REDIRECT &&
      status != HTTP_STATUS_REDIRECT_METHOD && status != HTTP_STATUS_REDIRECT_KEEP_VERB &&
      status != HTTP_STATUS_PERMANENT_REDIRECT) {
    return std::nullopt;
  }
  // The bytes as sent first: servers send letters beyond ASCII in UTF-8,
  // which the wide query would read in the system's code page.
  DWORD size = 0;
  if (::HttpQueryInfoA(request, HTTP_QUERY_LOCATION, nullptr, &size, nullptr) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return std::nullopt;
  }
  std::string bytes(size + 1, '\0');
  size = static_cast<DWORD>(bytes.size());
  if (!::HttpQueryInfoA(request, HTTP_QUERY_LOCATION, bytes.data(), &size, nullptr)) {
    return std::nullopt;
  }
  bytes.resize(size);
  if (std::optional<std::wstring> location = Widen(bytes)) {
    return location;
  }
  // No UTF-8: as the system reads it.
  size = 0;
  if (::HttpQueryInfoW(request, HTTP_QUERY_LOCATION, nullptr, &size, nullptr) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return std::nullopt;
  }
  std::wstring location(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(location.size() * sizeof(wchar_t));
  if (!::HttpQueryInfoW(request, HTTP_QUERY_LOCATION, location.data(), &size, nullptr)) {
    return std::nullopt;
  }
  location.resize(size / sizeof(wchar_t));
  return location;
}

// Where a redirection from base to location leads, checked like the URL
// given; none when it leads nowhere an HTTP GET may go.
std::optional<UrlParts> Follow(const std::wstring& base, const std::wstring& location) {
  std::wstring combined(INTERNET_MAX_URL_LENGTH * 2, L'\0');
  auto length = static_cast<DWORD>(combined.size());
  if (!::InternetCombineUrlW(base.c_str(), location.c_str(), combined.data(), &length,
                             ICU_NO_ENCODE)) {
    return std::nullopt;
  }
  combined.resize(length);
  const std::optional<std::string> narrow = Narrow(combined);
  if (!narrow) {
    return std::nullopt;
  }
  return SplitUrl(*narrow);
}

// The helper's part: sends the request, follows redirections and reads the
// final response. Failures after a cancellation come from the closed handles
// and are not looked at.
Finish Receive(State& state, UrlParts url, bool rangeAsked) {
  HINTERNET request = nullptr;
  DWORD status = 0;
  for (int redirections = 0;; ++redirections) {
    request = state.OpenRequest(url);
    if (request == nullptr) {
      return Finish::Failed;
    }
    if (!::HttpSendRequestW(request, nullptr, 0, nullptr, 0)) {
      return Finish::Failed;
    }
    if (!state.Proceed()) {
      return Finish::Cancelled;
    }
    DWORD size = sizeof status;
    if (!::HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size,
                          nullptr)) {
      return Finish::Failed;
    }
    const std::optional<std::wstring> location = Location(request, status);
    if (!location) {
      break;
    }
    std::optional<UrlParts> next = Follow(url.Url, *location);
    if (!next || next->Unreachable || redirections == kMaxRedirections) {
      return Finish::Failed;
    }
    url = std::move(*next);
  }
  if (status < 100 || status > 999) {
    return Finish::Failed;  // no HTTP status has other than three digits
  }
  if (status == HTTP_STATUS_PARTIAL_CONTENT && !rangeAsked) {
    return Finish::Failed;  // a piece of a body that was asked for whole
  }
  // No server may send an HTTP/1.0 request's answer in a transfer coding,
  // and WinINet ends a chunked body that the connection cut short as though
  // it were whole: such an answer is refused, whole or not.
  if (HeaderValue(request, HTTP_QUERY_TRANSFER_ENCODING)) {
    return Finish::Failed;
  }
  const Announced announced = ContentLength(request);
  if (announced.Malformed) {
    return Finish::Failed;
  }
  HttpResponse response;
  response.Status = static_cast<int>(status);
  response.ETag = HeaderText(request, HTTP_QUERY_ETAG);
  response.LastModified = HeaderText(request, HTTP_QUERY_LAST_MODIFIED);
  response.ContentRange = HeaderText(request, HTTP_QUERY_CONTENT_RANGE);
  if (!state.PushResponse(std::move(response))) {
    return Finish::Cancelled;
  }
  std::uint64_t received = 0;
  char buffer[kReadSize];
  for (;;) {
    if (!state.Proceed()) {
      return Finish::Cancelled;
    }
    // Waits for some data, then reads no more than has come, so that a slow
    // server's bytes reach the sink as they arrive. Nothing past the
    // announced length is body (WinINet may hand on what a server sent
    // beyond it): once that much came, the read of nothing ends the body.
    DWORD ask = 0;
    if (!announced.Length || received < *announced.Length) {
      DWORD available = 0;
      if (!::InternetQueryDataAvailable(request, &available, 0, 0)) {
        return Finish::Failed;
      }
      ask = available == 0 ? kReadSize : std::min(available, kReadSize);
      if (announced.Length) {
        ask = static_cast<DWORD>(std::min<std::uint64_t>(ask, *announced.Length - received));
      }
    }
    DWORD read = 0;
    if (!::InternetReadFile(request, buffer, ask, &read)) {
      return Finish::Failed;
    }
    if (read == 0) {
      break;
    }
    received += read;
    if (!state.PushData(buffer, read)) {
      return Finish::Cancelled;
    }
  }
  return announced.Length && received < *announced.Length ? Finish::Failed : Finish::Complete;
}

// The process's one internet handle, opened by the first transfer and never
// closed: WinINet keeps the connections that servers leave open for the
// requests that follow only while the internet handle they were made under
// lives. Null when WinINet cannot open it; the next transfer tries again.
HINTERNET SharedSession() {
  static std::mutex mutex;
  static HINTERNET session = nullptr;  // guarded by mutex
  std::lock_guard guard(mutex);
  if (session == nullptr) {
    session = ::InternetOpenW(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session != nullptr) {
      // Children inherit the callback; it is called only for handles with a
      // context other than 0, which the session has not.
      ::InternetSetStatusCallbackW(session, &State::OnStatus);
    }
  }
  return session;
}

// Gives the transfer the session and the limits' timeouts; false when
// WinINet cannot.
bool OpenSession(State& state, const HttpLimits& limits) {
  state.Session = SharedSession();
  if (state.Session == nullptr) {
    return false;
  }
  state.ConnectTimeout = Milliseconds(limits.Connect);
  if (limits.LowSpeedBytesPerSecond > 0 && limits.LowSpeedTime.count() > 0) {
    state.ReceiveTimeout = Milliseconds(limits.LowSpeedTime + kReceiveTimeoutMargin);
  }
  return true;
}

// Owns the helper thread. However the transfer ends, also by an exception
// from the sink, the handles are closed and the helper is let go.
class Helper {
 public:
  explicit Helper(std::shared_ptr<State> state) : Shared(std::move(state)) {}
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  ~Helper() {
    Shared->Cancel();
    if (!Thread.joinable()) {
      return;
    }
    if (Shared->WaitForHelper(kHelperGrace)) {
      Thread.join();
    } else {
      Thread.detach();
    }
  }

  void Start(UrlParts url, bool rangeAsked) {
    assert(!Thread.joinable() && "the helper runs once");
    Thread = std::thread([state = Shared, url = std::move(url), rangeAsked]() mutable {
      state->End(Receive(*state, std::move(url), rangeAsked));
    });
  }

 private:
  std::shared_ptr<State> Shared;
  std::thread Thread;
};

// The low-speed limit: too slow once fewer than the limit's bytes arrived
// over the last LowSpeedTime, counted from the connection. Arrivals are
// summed in slices of a tenth of a second, so that a fast transfer keeps a
// few hundred entries at most.
class SpeedWatch {
 public:
  explicit SpeedWatch(const HttpLimits& limits)
      : Window(limits.LowSpeedTime),
        Needed(limits.LowSpeedBytesPerSecond *
               static_cast<std::size_t>(limits.LowSpeedTime.count())) {}

  void Add(Clock::time_point when, std::size_t bytes) {
    if (Slices.empty() || when - Slices.back().first >= kSlice) {
      Slices.emplace_back(when, 0);
    }
    Slices.back().second += bytes;
    Sum += bytes;
  }

  bool TooSlow(Clock::time_point connected, Clock::time_point now) {
    if (Needed == 0 || now - connected < Window) {
      return false;
    }
    while (!Slices.empty() && Slices.front().first < now - Window) {
      Sum -= Slices.front().second;
      Slices.pop_front();
    }
    return Sum < Needed;
  }

 private:
  static constexpr auto kSlice = std::chrono::milliseconds(100);

  Clock::duration Window;
  std::size_t Needed;
  std::deque<std::pair<Clock::time_point, std::size_t>> Slices;  // start, bytes
  std::size_t Sum = 0;                                           // of Slices
};

}  // namespace

HttpOutcome HttpGet(const std::string& url, HttpSink& sink, const HttpLimits& limits,
                    const std::optional<HttpRange>& range) {
  const std::optional<UrlParts> split = SplitUrl(url);
  if (!split) {
    return HttpOutcome::BadUrl;
  }
  if (split->Unreachable) {
    return HttpOutcome::Failed;  // as a name that does not resolve
  }
  const auto state = std::make_shared<State>();
  if (range) {
    const std::optional<std::wstring> validator = Widen(range->IfRange);
    if (!validator || validator->find_first_of(L"\r\n") != std::wstring::npos) {
      return HttpOutcome::Failed;  // would break the request apart: none is sent
    }
    state->ExtraHeaders = L"Range: bytes=" + std::to_wstring(range->From) + L"-\r\n";
    if (!validator->empty()) {
      state->ExtraHeaders += L"If-Range: " + *validator + L"\r\n";
    }
  }
  Helper helper(state);
  if (!OpenSession(*state, limits)) {
    return HttpOutcome::Failed;
  }
  if (!sink.KeepGoing()) {
    return HttpOutcome::Aborted;
  }
  helper.Start(*split, range.has_value());
  const Clock::time_point start = Clock::now();
  SpeedWatch speed(limits);
  for (;;) {
    News news = state->Take(kPoll);
    if (news.Response && !sink.OnResponse(*news.Response)) {
      return HttpOutcome::Aborted;
    }
    for (const Block& block : news.Blocks) {
      speed.Add(block.When, block.Bytes.size());
      if (!sink.OnData(block.Bytes.data(), block.Bytes.size())) {
        return HttpOutcome::Aborted;
      }
    }
    if (news.End) {
      assert(*news.End != Finish::Cancelled && "only the calling thread cancels");
      return *news.End == Finish::Complete ? HttpOutcome::Complete : HttpOutcome::Failed;
    }
    if (!sink.KeepGoing()) {
      return HttpOutcome::Aborted;
    }
    const Clock::time_point now = Clock::now();
    const std::optional<Clock::time_point> connected = state->Connected();
    if (!connected ? now - start >= limits.Connect : speed.TooSlow(*connected, now)) {
      return HttpOutcome::Failed;
    }
  }
}

}  // namespace varo::platform
