#include "platform/net/url_request.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>

namespace platform {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

HTTPHeaders::HTTPHeaders(std::initializer_list<Entry> entries) {
  for (const auto& [name, value] : entries)
    set(name, value);
}

void HTTPHeaders::set(std::string_view name, std::string_view value) {
  for (auto& entry : entries_) {
    if (equalsIgnoringCase(entry.first, name)) {
      entry.second = std::string(value);
      return;
    }
  }
  entries_.emplace_back(std::string(name), std::string(value));
}

void HTTPHeaders::remove(std::string_view name) {
  std::erase_if(entries_, [&](const Entry& e) { return equalsIgnoringCase(e.first, name); });
}

std::optional<std::string> HTTPHeaders::get(std::string_view name) const {
  for (const auto& entry : entries_) {
    if (equalsIgnoringCase(entry.first, name)) return entry.second;
  }
  return std::nullopt;
}

URLRequest URLRequest::withURL(std::string url, double timeout, URLRequestCachePolicy policy) {
  URLRequest request;
  request.url = std::move(url);
  request.timeoutInterval = timeout;
  request.cachePolicy = policy;
  return request;
}

namespace {
std::string urlPart(const std::string& url, CURLUPart part) {
  std::string out;
  CURLU* u = curl_url();
  if (!u) return out;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* value = nullptr;
    if (curl_url_get(u, part, &value, 0) == CURLUE_OK && value) {
      out = value;
      curl_free(value);
    }
  }
  curl_url_cleanup(u);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}
}  // namespace

std::string URLRequest::scheme() const {
  return urlPart(url, CURLUPART_SCHEME);
}
std::string URLRequest::host() const {
  return urlPart(url, CURLUPART_HOST);
}

}  // namespace platform
