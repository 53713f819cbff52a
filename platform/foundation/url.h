// Stands in for the platform's URL and URL-components types: one strict parser of absolute
// URLs and relative references, relative resolution, query items and file URLs.
//
// Parsing follows the generic URI syntax: an optional scheme, an optional "//" authority
// (user info, a host name or bracketed IPv6 literal, a port up to 65535), a path, a query and a
// fragment, each limited to its allowed characters with well-formed "%hh" escapes. Spaces,
// control characters, raw non-ASCII bytes, bad escapes and "http"/"https" URLs without a host
// are refused (nullopt). The text form of a parsed URL is its input text unchanged; resolved or
// built URLs are composed from their parts. Immutable value type; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct URLQueryItem {
  std::string name;
  std::optional<std::string> value;  // absent for "?flag", empty for "?flag="
  friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

class URL {
 public:
  static std::optional<URL> parse(std::string_view text);
  // `text` resolved against `base` (which must be absolute); absolute texts stand alone.
  static std::optional<URL> parse(std::string_view text, const URL& base);
  // A file URL for an absolute path (relative paths are refused); "/" appended for folders.
  static std::optional<URL> fileURLWithPath(std::string_view path, bool isDirectory = false);

  // Percent-escapes every byte outside the unreserved set and `alsoAllowed`.
  static std::string percentEncode(std::string_view text, std::string_view alsoAllowed = {});
  // Decodes "%hh" escapes; nullopt for a malformed escape.
  static std::optional<std::string> percentDecode(std::string_view text);

  const std::string& absoluteString() const { return text_; }
  bool isAbsolute() const { return !scheme_.empty(); }
  // Lower-cased scheme, empty for a relative reference.
  const std::string& scheme() const { return scheme_; }
  bool hasAuthority() const { return hasAuthority_; }
  // The host as written (brackets of IPv6 literals removed), lower-cased.
  const std::optional<std::string>& host() const { return host_; }
  const std::optional<int>& port() const { return port_; }
  const std::optional<std::string>& user() const { return user_; }
  const std::optional<std::string>& password() const { return password_; }
  // Path with escapes decoded, and as written.
  std::string path() const;
  const std::string& percentEncodedPath() const { return path_; }
  const std::optional<std::string>& query() const { return query_; }
  const std::optional<std::string>& fragment() const { return fragment_; }
  // Query items in order, names and values decoded ("+" stays "+").
  std::vector<URLQueryItem> queryItems() const;

  bool isFileURL() const { return scheme_ == "file"; }
  // The local path of a file URL (decoded); nullopt for other URLs or remote hosts.
  std::optional<std::string> filePath() const;
  std::string lastPathComponent() const;

  // A copy with the query replaced by `items` (names and values escaped); none removes it.
  URL withQueryItems(const std::vector<URLQueryItem>& items) const;
  // A copy with `component` (escaped) added to the path after a "/".
  URL byAppendingPathComponent(std::string_view component) const;

  friend bool operator==(const URL& a, const URL& b) { return a.text_ == b.text_; }

 private:
  URL() = default;
  void compose();

  std::string text_;
  std::string scheme_;
  bool hasAuthority_ = false;
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  std::optional<std::string> host_;
  bool ipv6_ = false;
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
};

}  // namespace platform
