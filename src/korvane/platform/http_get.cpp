#include "korvane/platform/http_get.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "0.1.0"
#endif

namespace korvane::platform {

namespace {

using Clock = std::chrono::steady_clock;

// Room for the status line and headers on top of the body limit.
constexpr std::size_t kHeaderAllowance = 64 * 1024;
constexpr std::size_t kReadPiece = 16 * 1024;

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsAlpha(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Blanks and control bytes would end or split the request line (or forge a
// header); nothing of an address may hold them.
bool IsForbiddenInRequest(unsigned char byte) {
  return byte <= 0x20 || byte == 0x7F;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// "scheme:" at the start of a reference: a letter, then letters, digits,
// '+', '-' or '.', up to a ':' that comes before any '/', '?' or '#'.
bool HasScheme(std::string_view reference) {
  if (reference.empty() || !IsAlpha(reference.front())) return false;
  for (std::size_t at = 1; at < reference.size(); ++at) {
    const char c = reference[at];
    if (c == ':') return true;
    if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

std::string RemoveDotSegments(std::string_view path) {
  std::vector<std::string_view> kept;
  std::size_t start = 0;
  bool leadingSlash = !path.empty() && path.front() == '/';
  if (leadingSlash) start = 1;
  bool trailingSlash = false;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    const bool last = slash == std::string_view::npos;
    if (last) slash = path.size();
    const std::string_view segment = path.substr(start, slash - start);
    trailingSlash = false;
    if (segment == ".") {
      trailingSlash = last;
    } else if (segment == "..") {
      if (!kept.empty()) kept.pop_back();
      trailingSlash = last;
    } else {
      kept.push_back(segment);
    }
    start = slash + 1;
    if (last) break;
  }
  std::string out = leadingSlash ? "/" : "";
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) out.push_back('/');
    out.append(kept[i]);
  }
  if (trailingSlash && !out.empty() && out.back() != '/') out.push_back('/');
  return out;
}

class SocketFd {
 public:
  SocketFd() = default;
  explicit SocketFd(int fd) : fd_(fd) {}
  ~SocketFd() { Reset(); }
  SocketFd(const SocketFd&) = delete;
  SocketFd& operator=(const SocketFd&) = delete;
  SocketFd& operator=(SocketFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct AddrInfoList {
  addrinfo* List = nullptr;
  ~AddrInfoList() {
    if (List != nullptr) ::freeaddrinfo(List);
  }
};

// Waits for `events` on the socket until the deadline. False on time-out
// or failure (errno set; ETIMEDOUT for the time-out).
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

std::string ErrnoText(int error) {
  return std::strerror(error);
}

// Connects to the first address of the host that answers in time.
bool Connect(const HttpAddress& address, Clock::time_point deadline, SocketFd& socket,
             std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  AddrInfoList found;
  const int lookup = ::getaddrinfo(address.Host.c_str(), address.Port.c_str(), &hints, &found.List);
  if (lookup != 0) {
    error = "Cannot find the server \"" + address.Host + "\": " + ::gai_strerror(lookup);
    return false;
  }
  int lastError = ECONNREFUSED;
  for (const addrinfo* entry = found.List; entry != nullptr; entry = entry->ai_next) {
    SocketFd candidate(
        ::socket(entry->ai_family, entry->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (candidate.Get() < 0) {
      lastError = errno;
      continue;
    }
    if (::connect(candidate.Get(), entry->ai_addr, entry->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        lastError = errno;
        continue;
      }
      if (!WaitFor(candidate.Get(), POLLOUT, deadline)) {
        lastError = errno;
        if (lastError == ETIMEDOUT) break;
        continue;
      }
      int status = 0;
      socklen_t length = sizeof status;
      if (::getsockopt(candidate.Get(), SOL_SOCKET, SO_ERROR, &status, &length) != 0) {
        status = errno;
      }
      if (status != 0) {
        lastError = status;
        continue;
      }
    }
    socket = std::move(candidate);
    return true;
  }
  error = "Cannot connect to \"" + address.Host + "\": " + ErrnoText(lastError);
  return false;
}

bool SendAll(int fd, std::string_view data, Clock::time_point deadline, std::string& error) {
  while (!data.empty()) {
    // MSG_NOSIGNAL: a server that hangs up must not end the program.
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT, deadline)) {
      continue;
    }
    error = "Cannot send the request: " + ErrnoText(errno);
    return false;
  }
  return true;
}

// Reads until the server closes the connection, at most `limit` bytes.
bool ReceiveAll(int fd, std::size_t limit, Clock::time_point deadline, std::string& data,
                std::string& error) {
  char piece[kReadPiece];
  for (;;) {
    const ssize_t got = ::recv(fd, piece, sizeof piece, 0);
    if (got == 0) return true;
    if (got > 0) {
      if (data.size() + static_cast<std::size_t>(got) > limit) {
        error = "The server's answer is too large";
        return false;
      }
      data.append(piece, static_cast<std::size_t>(got));
      continue;
    }
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLIN, deadline)) continue;
    error = errno == ETIMEDOUT ? std::string("The server did not answer in time")
                               : "Cannot read the answer: " + ErrnoText(errno);
    return false;
  }
}

bool ParseSize(std::string_view text, int base, std::size_t& value) {
  text = Trim(text);
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

// Undoes "Transfer-Encoding: chunked". False when the chunks do not add up.
bool Dechunk(std::string_view body, std::string& out) {
  out.clear();
  for (;;) {
    const std::size_t lineEnd = body.find('\n');
    if (lineEnd == std::string_view::npos) return false;
    std::string_view sizeText = body.substr(0, lineEnd);
    if (const std::size_t extension = sizeText.find(';'); extension != std::string_view::npos) {
      sizeText = sizeText.substr(0, extension);
    }
    std::size_t size = 0;
    if (!ParseSize(sizeText, 16, size)) return false;
    body.remove_prefix(lineEnd + 1);
    if (size == 0) return true;  // trailers, if any, are of no interest
    if (size > body.size()) return false;
    out.append(body.substr(0, size));
    body.remove_prefix(size);
    if (body.substr(0, 2) == "\r\n") {
      body.remove_prefix(2);
    } else if (body.substr(0, 1) == "\n") {
      body.remove_prefix(1);
    } else {
      return false;
    }
  }
}

struct ParsedAnswer {
  int Status = 0;
  std::string Location;
  std::string Body;
};

bool ParseAnswer(const std::string& raw, std::size_t maxBodyBytes, ParsedAnswer& answer,
                 std::string& error) {
  std::size_t headerEnd = raw.find("\r\n\r\n");
  std::size_t bodyStart = headerEnd == std::string::npos ? headerEnd : headerEnd + 4;
  if (const std::size_t bare = raw.find("\n\n"); bare != std::string::npos && bare < headerEnd) {
    headerEnd = bare;
    bodyStart = bare + 2;
  }
  if (headerEnd == std::string::npos) {
    error = "The server's answer is not HTTP";
    return false;
  }
  const std::string_view head(raw.data(), headerEnd);
  // "HTTP/1.x 200 Reason"
  const std::size_t firstLineEnd = head.find('\n');
  const std::string_view statusLine = Trim(head.substr(0, firstLineEnd));
  if (statusLine.substr(0, 5) != "HTTP/" || statusLine.size() < 12) {
    error = "The server's answer is not HTTP";
    return false;
  }
  const std::size_t blank = statusLine.find(' ');
  if (blank == std::string_view::npos || blank + 4 > statusLine.size() ||
      !IsDigit(statusLine[blank + 1]) || !IsDigit(statusLine[blank + 2]) ||
      !IsDigit(statusLine[blank + 3]) ||
      (blank + 4 < statusLine.size() && statusLine[blank + 4] != ' ')) {
    error = "The server's answer is not HTTP";
    return false;
  }
  answer.Status = (statusLine[blank + 1] - '0') * 100 + (statusLine[blank + 2] - '0') * 10 +
                  (statusLine[blank + 3] - '0');

  bool chunked = false;
  bool haveLength = false;
  std::size_t length = 0;
  std::size_t at = firstLineEnd == std::string_view::npos ? head.size() : firstLineEnd + 1;
  while (at < head.size()) {
    std::size_t end = head.find('\n', at);
    if (end == std::string_view::npos) end = head.size();
    const std::string_view line = head.substr(at, end - at);
    at = end + 1;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = Lower(Trim(line.substr(0, colon)));
    const std::string_view value = Trim(line.substr(colon + 1));
    if (name == "location") {
      answer.Location = std::string(value);
    } else if (name == "transfer-encoding") {
      chunked = Lower(value).find("chunked") != std::string::npos;
    } else if (name == "content-length") {
      haveLength = ParseSize(value, 10, length);
    }
  }

  const std::string_view body(raw.data() + bodyStart, raw.size() - bodyStart);
  if (chunked) {
    if (!Dechunk(body, answer.Body)) {
      error = "The server's answer ended early";
      return false;
    }
  } else if (haveLength) {
    if (body.size() < length) {
      error = "The server's answer ended early";
      return false;
    }
    answer.Body.assign(body.substr(0, length));
  } else {
    answer.Body.assign(body);
  }
  if (answer.Body.size() > maxBodyBytes) {
    error = "The server's answer is too large";
    return false;
  }
  return true;
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

bool ParseHttpAddress(const std::string& url, HttpAddress& address) {
  constexpr std::string_view kScheme = "http://";
  if (url.size() < kScheme.size() || Lower(std::string_view(url).substr(0, 7)) != kScheme) {
    return false;
  }
  const std::string_view rest = std::string_view(url).substr(kScheme.size());
  const std::size_t authorityEnd = rest.find_first_of("/?#");
  const std::string_view authority = rest.substr(0, authorityEnd);
  for (const char c : authority) {
    if (IsForbiddenInRequest(static_cast<unsigned char>(c)) || c == '@' || c == '\\') return false;
  }
  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(1, close - 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port = after.substr(1);
    }
  } else if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  if (host.empty()) return false;
  if (!port.empty()) {
    unsigned number = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (error != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535) {
      return false;
    }
    address.Port = std::to_string(number);
  } else {
    address.Port = "80";
  }
  address.Host = std::string(host);

  std::string_view target =
      authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
  if (const std::size_t hash = target.find('#'); hash != std::string_view::npos) {
    target = target.substr(0, hash);
  }
  std::string out = (target.empty() || target.front() != '/') ? "/" : "";
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : target) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsForbiddenInRequest(byte)) return false;
    if (byte >= 0x80) {
      // As a browser sends them: other bytes of a name percent-encoded.
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    } else {
      out.push_back(c);
    }
  }
  address.Target = std::move(out);
  return true;
}

std::string ResolveUrl(const std::string& base, const std::string& reference) {
  const std::string_view ref(reference);
  if (HasScheme(ref)) return reference;
  if (!HasScheme(base)) return reference;
  const std::string_view page(base);
  const std::size_t colon = page.find(':');
  const std::string_view scheme = page.substr(0, colon);  // without ':'
  std::string_view afterScheme = page.substr(colon + 1);
  std::string_view authority;
  if (afterScheme.substr(0, 2) == "//") {
    const std::size_t end = afterScheme.find_first_of("/?#", 2);
    authority = afterScheme.substr(0, end);  // with the leading "//"
    afterScheme = end == std::string_view::npos ? std::string_view() : afterScheme.substr(end);
  }
  const std::size_t pathEnd = afterScheme.find_first_of("?#");
  const std::string_view path = afterScheme.substr(0, pathEnd);
  const std::string_view afterPath =
      pathEnd == std::string_view::npos ? std::string_view() : afterScheme.substr(pathEnd);
  const std::string_view query = afterPath.substr(0, afterPath.find('#'));

  const std::string prefix = std::string(scheme) + ":" + std::string(authority);
  if (ref.empty()) return prefix + std::string(path) + std::string(query);
  if (ref.substr(0, 2) == "//") return std::string(scheme) + ":" + reference;
  if (ref.front() == '#') return prefix + std::string(path) + std::string(query) + reference;
  if (ref.front() == '?') return prefix + std::string(path) + reference;

  const std::size_t refPathEnd = ref.find_first_of("?#");
  const std::string_view refPath = ref.substr(0, refPathEnd);
  const std::string_view refRest =
      refPathEnd == std::string_view::npos ? std::string_view() : ref.substr(refPathEnd);
  std::string merged;
  if (refPath.front() == '/') {
    merged = std::string(refPath);
  } else if (!authority.empty() && path.empty()) {
    merged = "/" + std::string(refPath);
  } else {
    const std::size_t lastSlash = path.rfind('/');
    merged = (lastSlash == std::string_view::npos ? std::string()
                                                  : std::string(path.substr(0, lastSlash + 1))) +
             std::string(refPath);
  }
  return prefix + RemoveDotSegments(merged) + std::string(refRest);
}

HttpResponse HttpGet(const std::string& url, std::chrono::milliseconds timeout, int maxRedirects,
                     std::size_t maxBodyBytes) {
  HttpResponse response;
  const Clock::time_point deadline = Clock::now() + timeout;
  std::string current = url;
  for (int redirects = 0;; ++redirects) {
    HttpAddress address;
    if (!ParseHttpAddress(current, address)) {
      response.Error = "Not an http:// address: " + current;
      return response;
    }
    SocketFd socket;
    if (!Connect(address, deadline, socket, response.Error)) return response;

    const bool ipv6 = address.Host.find(':') != std::string::npos;
    std::string hostHeader = ipv6 ? "[" + address.Host + "]" : address.Host;
    if (address.Port != "80") hostHeader += ":" + address.Port;
    // HTTP/1.0 with "Connection: close": the answer ends where the
    // connection does. Nothing may come from a cache on the way.
    const std::string request = "GET " + address.Target + " HTTP/1.0\r\nHost: " + hostHeader +
                                "\r\nUser-Agent: Korvane/" KORVANE_VERSION
                                "\r\nAccept: text/html, */*\r\nCache-Control: no-cache\r\n"
                                "Pragma: no-cache\r\nConnection: close\r\n\r\n";
    if (!SendAll(socket.Get(), request, deadline, response.Error)) return response;
    std::string raw;
    if (!ReceiveAll(socket.Get(), maxBodyBytes + kHeaderAllowance, deadline, raw, response.Error)) {
      return response;
    }
    socket.Reset();

    ParsedAnswer answer;
    if (!ParseAnswer(raw, maxBodyBytes, answer, response.Error)) return response;
    if (IsRedirect(answer.Status) && !answer.Location.empty()) {
      const std::string next = ResolveUrl(current, answer.Location);
      HttpAddress ignored;
      if (!ParseHttpAddress(next, ignored)) {
        response.Error = "The server sent us on to an address this program does not fetch: " + next;
        return response;
      }
      if (redirects >= maxRedirects) {
        response.Error = "Too many redirects from " + url;
        return response;
      }
      current = next;
      continue;
    }
    response.Ok = true;
    response.Status = answer.Status;
    response.Body = std::move(answer.Body);
    response.Url = current;
    return response;
  }
}

}  // namespace korvane::platform
