#include "platform/foundation/url.h"

#include <cctype>

namespace platform {

namespace {

bool isUnreserved(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' ||
         c == '~';
}
bool isSubDelim(char c) {
  return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}
bool isPchar(char c) {
  return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@';
}
bool isHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Every character allowed by `ok` or part of a "%hh" escape.
template <class Pred> bool validPart(std::string_view s, Pred ok) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%') {
      if (i + 2 >= s.size()) return false;
      if (!isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
      i += 2;
    } else if (!ok(s[i])) {
      return false;
    }
  }
  return true;
}

// Schemes whose URLs name nothing without a host.
bool needsHost(std::string_view scheme) {
  return scheme == "http" || scheme == "https" || scheme == "ws" || scheme == "wss";
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view in) {
  std::string out;
  while (!in.empty()) {
    if (in.substr(0, 3) == "../") {
      in.remove_prefix(3);
    } else if (in.substr(0, 2) == "./") {
      in.remove_prefix(2);
    } else if (in.substr(0, 3) == "/./") {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.substr(0, 4) == "/../" || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      auto slash = out.rfind('/');
      out.erase(slash == std::string::npos ? 0 : slash);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      std::size_t next = in.find('/', in[0] == '/' ? 1 : 0);
      if (next == std::string_view::npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

}  // namespace

std::string URL::percentEncode(std::string_view text, std::string_view alsoAllowed) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if (isUnreserved(c) || alsoAllowed.find(c) != std::string_view::npos) {
      out += c;
    } else {
      auto b = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::optional<std::string> URL::percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    if (!isHex(text[i + 1]) || !isHex(text[i + 2])) return std::nullopt;
    out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
    i += 2;
  }
  return out;
}

std::optional<URL> URL::parse(std::string_view text) {
  for (char c : text) {
    auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) return std::nullopt;
  }
  URL url;
  std::string_view rest = text;
  // Scheme: letters first, then letters, digits, "+", "-", "."; a ":" before any "/?#".
  std::size_t colon = rest.find(':');
  std::size_t delim = rest.find_first_of("/?#");
  if (colon != std::string_view::npos && (delim == std::string_view::npos || colon < delim)) {
    std::string_view scheme = rest.substr(0, colon);
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return std::nullopt;
    for (char c : scheme) {
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
        return std::nullopt;
      }
    }
    url.scheme_ = lower(scheme);
    rest.remove_prefix(colon + 1);
  }
  if (auto hash = rest.find('#'); hash != std::string_view::npos) {
    std::string_view frag = rest.substr(hash + 1);
    if (!validPart(frag, [](char c) { return isPchar(c) || c == '/' || c == '?'; })) {
      return std::nullopt;
    }
    url.fragment_ = std::string(frag);
    rest = rest.substr(0, hash);
  }
  if (auto q = rest.find('?'); q != std::string_view::npos) {
    std::string_view query = rest.substr(q + 1);
    if (!validPart(query, [](char c) { return isPchar(c) || c == '/' || c == '?'; })) {
      return std::nullopt;
    }
    url.query_ = std::string(query);
    rest = rest.substr(0, q);
  }
  if (rest.substr(0, 2) == "//") {
    url.hasAuthority_ = true;
    rest.remove_prefix(2);
    std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
      std::string_view info = authority.substr(0, at);
      if (!validPart(info, [](char c) { return isUnreserved(c) || isSubDelim(c) || c == ':'; })) {
        return std::nullopt;
      }
      auto sep = info.find(':');
      url.user_ = std::string(info.substr(0, sep));
      if (sep != std::string_view::npos) url.password_ = std::string(info.substr(sep + 1));
      authority.remove_prefix(at + 1);
    }
    std::string_view host;
    if (!authority.empty() && authority[0] == '[') {
      auto close = authority.find(']');
      if (close == std::string_view::npos) return std::nullopt;
      host = authority.substr(1, close - 1);
      if (host.empty()) return std::nullopt;
      for (char c : host) {
        if (!isHex(c) && c != ':' && c != '.') return std::nullopt;
      }
      if (host.find(':') == std::string_view::npos) return std::nullopt;
      url.ipv6_ = true;
      authority.remove_prefix(close + 1);
      if (!authority.empty() && authority[0] != ':') return std::nullopt;
    } else {
      auto portColon = authority.rfind(':');
      host = authority.substr(0, portColon);
      authority =
          portColon == std::string_view::npos ? std::string_view() : authority.substr(portColon);
      if (!validPart(host, [](char c) { return isUnreserved(c) || isSubDelim(c); })) {
        return std::nullopt;
      }
    }
    if (!authority.empty()) {  // ":port"
      std::string_view digits = authority.substr(1);
      if (digits.size() > 5) return std::nullopt;
      int port = 0;
      for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        port = port * 10 + (c - '0');
      }
      if (port > 65535) return std::nullopt;
      if (!digits.empty()) url.port_ = port;
    }
    url.host_ = lower(host);
  }
  if (!validPart(rest, [](char c) { return isPchar(c) || c == '/'; })) return std::nullopt;
  // Without an authority a path may not begin with "//", and a relative reference's first
  // segment may not hold a ":" (it would read as a scheme).
  if (!url.hasAuthority_ && rest.substr(0, 2) == "//") return std::nullopt;
  url.path_ = std::string(rest);
  if (needsHost(url.scheme_) && (!url.host_ || url.host_->empty())) return std::nullopt;
  if (url.scheme_.empty() && !url.hasAuthority_ && url.path_.empty() && !url.query_ &&
      !url.fragment_) {
    return std::nullopt;  // the empty text names nothing
  }
  url.text_ = std::string(text);
  return url;
}

std::optional<URL> URL::parse(std::string_view text, const URL& base) {
  if (text.empty()) {  // the same document
    if (!base.isAbsolute()) return std::nullopt;
    URL same = base;
    same.fragment_.reset();
    same.compose();
    return same;
  }
  auto ref = parse(text);
  if (!ref) return std::nullopt;
  if (ref->isAbsolute()) {
    ref->path_ = removeDotSegments(ref->path_);
    ref->compose();
    return ref;
  }
  if (!base.isAbsolute()) return std::nullopt;
  URL t = *ref;
  t.scheme_ = base.scheme_;
  if (!ref->hasAuthority_) {
    t.hasAuthority_ = base.hasAuthority_;
    t.user_ = base.user_;
    t.password_ = base.password_;
    t.host_ = base.host_;
    t.ipv6_ = base.ipv6_;
    t.port_ = base.port_;
    if (ref->path_.empty()) {
      t.path_ = base.path_;
      if (!ref->query_) t.query_ = base.query_;
    } else if (ref->path_[0] == '/') {
      t.path_ = removeDotSegments(ref->path_);
    } else {
      std::string merged;
      if (base.hasAuthority_ && base.path_.empty()) {
        merged = "/" + ref->path_;
      } else {
        auto slash = base.path_.rfind('/');
        merged = (slash == std::string::npos ? std::string() : base.path_.substr(0, slash + 1)) +
                 ref->path_;
      }
      t.path_ = removeDotSegments(merged);
    }
  } else {
    t.path_ = removeDotSegments(ref->path_);
  }
  // "//:1" against an http base would name no host; its text could never be parsed again.
  if (needsHost(t.scheme_) && (!t.host_ || t.host_->empty())) return std::nullopt;
  t.compose();
  return t;
}

std::optional<URL> URL::fileURLWithPath(std::string_view path, bool isDirectory) {
  if (path.empty() || path[0] != '/') return std::nullopt;
  URL url;
  url.scheme_ = "file";
  url.hasAuthority_ = true;
  url.host_ = "";
  url.path_ = percentEncode(path, "/!$&'()*+,;=:@");
  if (isDirectory && url.path_.back() != '/') url.path_ += '/';
  url.compose();
  return url;
}

void URL::compose() {
  // Removing dot segments can leave a path starting with "//" under no authority ("a:/..//x");
  // written as is, its text would read back with "x" as the host. "/." in front keeps the text
  // and the parts in agreement and names the same resource.
  if (!hasAuthority_ && path_.size() >= 2 && path_[0] == '/' && path_[1] == '/') {
    path_.insert(0, "/.");
  }
  std::string out;
  if (!scheme_.empty()) out += scheme_ + ":";
  if (hasAuthority_) {
    out += "//";
    if (user_) {
      out += *user_;
      if (password_) out += ":" + *password_;
      out += "@";
    }
    if (host_) out += ipv6_ ? "[" + *host_ + "]" : *host_;
    if (port_) {
      out += ':';
      out += std::to_string(*port_);
    }
  }
  out += path_;
  if (query_) out += "?" + *query_;
  if (fragment_) out += "#" + *fragment_;
  text_ = std::move(out);
}

std::string URL::path() const {
  return percentDecode(path_).value_or(path_);
}

std::vector<URLQueryItem> URL::queryItems() const {
  std::vector<URLQueryItem> items;
  if (!query_ || query_->empty()) return items;
  std::string_view q = *query_;
  while (true) {
    std::size_t amp = q.find('&');
    std::string_view part = q.substr(0, amp);
    URLQueryItem item;
    auto eq = part.find('=');
    item.name = percentDecode(part.substr(0, eq)).value_or(std::string(part.substr(0, eq)));
    if (eq != std::string_view::npos) {
      auto raw = part.substr(eq + 1);
      item.value = percentDecode(raw).value_or(std::string(raw));
    }
    items.push_back(std::move(item));
    if (amp == std::string_view::npos) break;
    q.remove_prefix(amp + 1);
  }
  return items;
}

std::optional<std::string> URL::filePath() const {
  if (!isFileURL() || (host_ && !host_->empty() && *host_ != "localhost")) return std::nullopt;
  auto p = percentDecode(path_);
  if (!p || p->empty() || p->find('\0') != std::string::npos) return std::nullopt;
  if (p->size() > 1 && p->back() == '/') p->pop_back();
  return p;
}

std::string URL::lastPathComponent() const {
  std::string p = path();
  while (p.size() > 1 && p.back() == '/')
    p.pop_back();
  auto slash = p.rfind('/');
  return slash == std::string::npos || p == "/" ? p : p.substr(slash + 1);
}

URL URL::withQueryItems(const std::vector<URLQueryItem>& items) const {
  URL copy = *this;
  if (items.empty()) {
    copy.query_.reset();
  } else {
    std::string q;
    for (const auto& item : items) {
      if (!q.empty()) q += '&';
      q += percentEncode(item.name, "!$'()*,;:@/?");
      if (item.value) {
        q += '=';
        q += percentEncode(*item.value, "!$'()*,;:@/?");
      }
    }
    copy.query_ = std::move(q);
  }
  copy.compose();
  return copy;
}

URL URL::byAppendingPathComponent(std::string_view component) const {
  URL copy = *this;
  if (copy.path_.empty() || copy.path_.back() != '/') copy.path_ += '/';
  copy.path_ += percentEncode(component, "!$&'()*+,;=:@");
  copy.compose();
  return copy;
}

}  // namespace platform
