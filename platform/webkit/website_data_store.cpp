#include "platform/webkit/website_data_store.h"

#include <algorithm>
#include <utility>

#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"

namespace platform::webkit {

using platform::Value;

namespace website_data_type {
const std::vector<std::string>& all() {
  static const std::vector<std::string> types = {
      kCookies,      kMemoryCache,    kDiskCache,       kOfflineWebApplicationCache,
      kLocalStorage, kSessionStorage, kWebSQLDatabases, kIndexedDBDatabases};
  return types;
}
}  // namespace website_data_type

namespace {

// Completions run on a later turn of the main loop, as the engine's would.
void later(std::function<void()> task) {
  if (task) platform::mainQueue()->async(std::move(task));
}

}  // namespace

void HTTPCookieStore::setBackend(std::shared_ptr<WebsiteDataBackend> backend) {
  std::lock_guard lock(mutex_);
  backend_ = std::move(backend);
}

std::shared_ptr<WebsiteDataBackend> HTTPCookieStore::backend() const {
  std::lock_guard lock(mutex_);
  return backend_;
}

void HTTPCookieStore::setCookie(const std::shared_ptr<HTTPCookie>& cookie,
                                std::function<void()> completion) {
  if (auto engine = backend()) {
    if (!cookie) {
      later(std::move(completion));
      return;
    }
    engine->setCookie(cookie, std::move(completion));
    return;
  }
  if (cookie) {
    // The jar keeps its own copy: the caller's object stays the caller's.
    Entry entry{cookie->copy(), platform::Clock::current().now()};
    std::shared_ptr<HTTPCookie> replaced;  // released after the lock is dropped
    {
      std::lock_guard lock(mutex_);
      auto it = std::find_if(jar_.begin(), jar_.end(), [&](const Entry& e) {
        return e.cookie->name() == cookie->name() && e.cookie->domain() == cookie->domain() &&
               e.cookie->path() == cookie->path();
      });
      if (it != jar_.end()) {
        replaced = std::exchange(it->cookie, entry.cookie);
        it->modifiedAt = entry.modifiedAt;
      } else {
        jar_.push_back(std::move(entry));
      }
    }
  }
  later(std::move(completion));
}

void HTTPCookieStore::getAllCookies(std::function<void(Cookies)> completion) const {
  if (auto engine = backend()) {
    if (completion) engine->getAllCookies(std::move(completion));
    return;
  }
  Cookies cookies;
  {
    std::lock_guard lock(mutex_);
    for (const auto& entry : jar_)
      cookies.push_back(entry.cookie->copy());
  }
  if (!completion) return;
  later([completion = std::move(completion), cookies = std::move(cookies)]() mutable {
    completion(std::move(cookies));
  });
}

std::vector<double> HTTPCookieStore::modificationDates() const {
  std::lock_guard lock(mutex_);
  std::vector<double> dates;
  for (const auto& entry : jar_)
    dates.push_back(entry.modifiedAt);
  return dates;
}

std::size_t HTTPCookieStore::removeCookiesModifiedSince(double since) {
  std::vector<Entry> removed;  // released after the lock is dropped
  std::lock_guard lock(mutex_);
  auto keep = std::stable_partition(jar_.begin(), jar_.end(),
                                    [since](const Entry& e) { return e.modifiedAt < since; });
  removed.assign(std::make_move_iterator(keep), std::make_move_iterator(jar_.end()));
  jar_.erase(keep, jar_.end());
  return removed.size();
}

platform::ValueMap HTTPCookieStore::engineState() const {
  platform::ValueList cookies;
  std::lock_guard lock(mutex_);
  for (const auto& entry : jar_) {
    cookies.push_back(Value::map({{"properties", Value(entry.cookie->properties())},
                                  {"modifiedAt", Value(entry.modifiedAt)}}));
  }
  return {{Value("cookies"), Value(std::move(cookies))}};
}

WebsiteDataStore::WebsiteDataStore() : cookieStore_(std::make_shared<HTTPCookieStore>()) {}

std::shared_ptr<WebsiteDataStore> WebsiteDataStore::defaultDataStore() {
  // Made once and never destroyed: the engine's default store lives as long as the process.
  static auto* store = new std::shared_ptr<WebsiteDataStore>(std::make_shared<WebsiteDataStore>());
  return *store;
}

void WebsiteDataStore::setBackend(std::shared_ptr<WebsiteDataBackend> backend) {
  cookieStore_->setBackend(backend);
  std::lock_guard lock(mutex_);
  backend_ = std::move(backend);
}

std::shared_ptr<WebsiteDataBackend> WebsiteDataStore::backend() const {
  std::lock_guard lock(mutex_);
  return backend_;
}

void WebsiteDataStore::addRecord(std::string type, double modifiedAt) {
  std::lock_guard lock(mutex_);
  records_.push_back(Record{std::move(type), modifiedAt});
}

std::vector<WebsiteDataStore::Record>
WebsiteDataStore::recordsOfTypes(const std::set<std::string>& types) const {
  std::vector<Record> out;
  {
    std::lock_guard lock(mutex_);
    for (const auto& record : records_) {
      if (types.count(record.type)) out.push_back(record);
    }
  }
  if (types.count(website_data_type::kCookies)) {
    for (double date : cookieStore_->modificationDates())
      out.push_back(Record{website_data_type::kCookies, date});
  }
  return out;
}

void WebsiteDataStore::fetchDataRecordsOfTypes(
    const std::set<std::string>& types, std::function<void(std::vector<Record>)> completion) const {
  if (auto engine = backend()) {
    if (completion) engine->fetchDataRecordsOfTypes(types, std::move(completion));
    return;
  }
  auto records = recordsOfTypes(types);
  if (!completion) return;
  later([completion = std::move(completion), records = std::move(records)]() mutable {
    completion(std::move(records));
  });
}

void WebsiteDataStore::removeDataOfTypes(const std::set<std::string>& types, double since,
                                         std::function<void()> completion) {
  if (auto engine = backend()) {
    engine->removeDataOfTypes(types, since, std::move(completion));
    return;
  }
  {
    std::lock_guard lock(mutex_);
    std::erase_if(records_, [&](const Record& record) {
      return types.count(record.type) && record.modifiedAt >= since;
    });
  }
  if (types.count(website_data_type::kCookies)) cookieStore_->removeCookiesModifiedSince(since);
  later(std::move(completion));
}

platform::ValueMap WebsiteDataStore::engineState() const {
  platform::ValueList records;
  {
    std::lock_guard lock(mutex_);
    for (const auto& record : records_) {
      records.push_back(
          Value::map({{"type", Value(record.type)}, {"modifiedAt", Value(record.modifiedAt)}}));
    }
  }
  return {{Value("records"), Value(std::move(records))},
          {Value("isDefault"), Value(this == defaultDataStore().get())},
          {Value("cookies"), cookieStore_->engineState().at(Value("cookies"))}};
}

}  // namespace platform::webkit
