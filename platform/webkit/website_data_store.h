// Stands in for the web engine's website data: the data store (records of stored data by type,
// each with its modification date) and its cookie store (the cookie jar).
//
// The simulated engine keeps everything in memory. One default data store exists per process
// (made on first use, never destroyed); each data store owns one cookie store. Calls return at
// once and their completions run on a later turn of the main loop, as the engine's would; state
// changes take effect at the call. Cookies in the jar are records of type kCookies, modified
// when they were set. Thread-safe (one mutex per store, never held while calling out).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/webkit/http_cookie.h"
#include "platform/webkit/native_object.h"

namespace platform::webkit {

// The engine's website data types.
namespace website_data_type {
inline constexpr const char* kCookies = "WKWebsiteDataTypeCookies";
inline constexpr const char* kMemoryCache = "WKWebsiteDataTypeMemoryCache";
inline constexpr const char* kDiskCache = "WKWebsiteDataTypeDiskCache";
inline constexpr const char* kOfflineWebApplicationCache =
    "WKWebsiteDataTypeOfflineWebApplicationCache";
inline constexpr const char* kLocalStorage = "WKWebsiteDataTypeLocalStorage";
inline constexpr const char* kSessionStorage = "WKWebsiteDataTypeSessionStorage";
inline constexpr const char* kWebSQLDatabases = "WKWebsiteDataTypeWebSQLDatabases";
inline constexpr const char* kIndexedDBDatabases = "WKWebsiteDataTypeIndexedDBDatabases";
// Every type above, in this order.
const std::vector<std::string>& all();
}  // namespace website_data_type

class HTTPCookieStore;
struct WebsiteDataRecord {
  std::string type;
  double modifiedAt = 0;  // seconds since 1970; 0 where the engine keeps no date
};

// A real engine's own website data and cookies. Once installed on a data store (setBackend), the
// store and its cookie store hand every call to it and keep nothing of their own; the backend
// runs each completion once, on the main loop, when the engine has answered. Main thread.
class WebsiteDataBackend {
 public:
  using Cookies = std::vector<std::shared_ptr<HTTPCookie>>;
  virtual ~WebsiteDataBackend() = default;
  virtual void setCookie(const std::shared_ptr<HTTPCookie>& cookie,
                         std::function<void()> completion) = 0;
  virtual void getAllCookies(std::function<void(Cookies)> completion) = 0;
  virtual void
  fetchDataRecordsOfTypes(const std::set<std::string>& types,
                          std::function<void(std::vector<WebsiteDataRecord>)> completion) = 0;
  // Removes the data of any of `types` modified at or after `since` (seconds since 1970).
  virtual void removeDataOfTypes(const std::set<std::string>& types, double since,
                                 std::function<void()> completion) = 0;
};

// The cookie jar, in the order cookies were first set. Setting a cookie with the name, domain
// and path of one in the jar replaces that one in place. Handed-out cookies are new objects.
class HTTPCookieStore : public NativeObject {
 public:
  using Cookies = std::vector<std::shared_ptr<HTTPCookie>>;

  std::string className() const override { return "WKHTTPCookieStore"; }
  platform::ValueMap engineState() const override;

  void setCookie(const std::shared_ptr<HTTPCookie>& cookie, std::function<void()> completion);
  // New cookie objects, one per cookie in the jar, in jar order.
  void getAllCookies(std::function<void(Cookies)> completion) const;

  // Hands the calls above to a real engine's cookies (none: the simulated jar again).
  void setBackend(std::shared_ptr<WebsiteDataBackend> backend);

  // Records of the jar for the data store: the modification date of each cookie.
  std::vector<double> modificationDates() const;
  // Removes the cookies set at or after `since`; the number removed.
  std::size_t removeCookiesModifiedSince(double since);

 private:
  struct Entry {
    std::shared_ptr<HTTPCookie> cookie;
    double modifiedAt = 0;
  };
  std::shared_ptr<WebsiteDataBackend> backend() const;

  mutable std::mutex mutex_;
  std::vector<Entry> jar_;
  std::shared_ptr<WebsiteDataBackend> backend_;
};

class WebsiteDataStore : public NativeObject {
 public:
  using Record = WebsiteDataRecord;

  WebsiteDataStore();
  // The process's default store: the same object on every call.
  static std::shared_ptr<WebsiteDataStore> defaultDataStore();

  std::string className() const override { return "WKWebsiteDataStore"; }
  platform::ValueMap engineState() const override;

  const std::shared_ptr<HTTPCookieStore>& httpCookieStore() const { return cookieStore_; }

  // Data a page stored (scripted by the test host).
  void addRecord(std::string type, double modifiedAt);
  // The records of any of `types`.
  void fetchDataRecordsOfTypes(const std::set<std::string>& types,
                               std::function<void(std::vector<Record>)> completion) const;
  // Removes the records of any of `types` modified at or after `since`.
  void removeDataOfTypes(const std::set<std::string>& types, double since,
                         std::function<void()> completion);

  // Hands the calls above, and its cookie store's, to a real engine's website data (none: the
  // simulated records again). Records added with addRecord stay apart from the engine's.
  void setBackend(std::shared_ptr<WebsiteDataBackend> backend);

 private:
  std::vector<Record> recordsOfTypes(const std::set<std::string>& types) const;
  std::shared_ptr<WebsiteDataBackend> backend() const;

  const std::shared_ptr<HTTPCookieStore> cookieStore_;
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  std::shared_ptr<WebsiteDataBackend> backend_;
};

}  // namespace platform::webkit
