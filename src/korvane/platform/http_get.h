// A small HTTP client for the update check: one GET of an http:// address
// over a plain socket, HTTP/1.0, nothing cached, a few redirects followed,
// and a time limit on the whole exchange. No https (the update page needs
// none: what it offers is opened in the person's own browser).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace korvane::platform {

struct HttpResponse {
  bool Ok = false;    // a response came (whatever its status)
  int Status = 0;     // 200, 404, ...
  std::string Body;   // the body, without the headers (chunked transfer undone)
  std::string Url;    // the address that answered, after redirects
  std::string Error;  // why there is no response (Ok false)
};

struct HttpAddress {
  std::string Host;  // without brackets for an IPv6 literal
  std::string Port = "80";
  std::string Target = "/";  // path and query, never empty; the fragment dropped
};

// Splits "http://host[:port][/path][?query][#fragment]" (the scheme in any
// letter case). False for any other scheme, a missing host, user
// information, a bad port, or a byte that has no place in a request line
// (blanks, control bytes).
bool ParseHttpAddress(const std::string& url, HttpAddress& address);

// The address a link `reference` on the page `base` leads to: references
// with a scheme stand as they are; "//host..." takes the page's scheme;
// "/path", "?query", "#fragment" and relative paths are taken from the
// page's address, with "." and ".." segments folded.
std::string ResolveUrl(const std::string& base, const std::string& reference);

// GETs the address. Redirects (301, 302, 303, 307, 308) to http://
// addresses are followed up to `maxRedirects` times; a redirect anywhere
// else ends with an error. A body larger than `maxBodyBytes`, a body shorter
// than its announced length and running out of time are errors too.
// Name lookup is the system's and is not bound by the time limit.
HttpResponse HttpGet(const std::string& url, std::chrono::milliseconds timeout,
                     int maxRedirects = 3, std::size_t maxBodyBytes = 2 * 1024 * 1024);

}  // namespace korvane::platform
