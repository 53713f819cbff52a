// Class lookup by name. Stands in for the runtime's "class from string": a component that would
// announce itself when loaded makes one explicit registration call at start-up instead, before
// plugin registration; a class that does not exist on this platform is simply never registered,
// and looking it up yields null.
//
// What is registered is the "class object": any shared object, typically an interface whose
// virtual methods are the class's class methods or factories. Lookup is type-checked: asking
// for another type than the one registered yields null, never a bad cast. Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

namespace platform {

class ClassRegistry {
 public:
  static ClassRegistry& shared();

  // Registers `cls` under `name`. Registering the same object again is a no-op; another object
  // under a taken name is a programming error: reported, and the first registration stays.
  // Returns whether `cls` is now the class under `name`.
  template <class T> bool registerClass(const std::string& name, std::shared_ptr<T> cls) {
    return add(name, std::type_index(typeid(T)), std::static_pointer_cast<void>(std::move(cls)));
  }

  // The class under `name` registered as a T, or null when absent or registered as another type.
  template <class T> std::shared_ptr<T> lookup(const std::string& name) const {
    return std::static_pointer_cast<T>(find(name, std::type_index(typeid(T))));
  }

  bool contains(const std::string& name) const;
  std::vector<std::string> names() const;
  // For tests: forget one class, or all.
  void unregisterClass(const std::string& name);
  void clear();

  ClassRegistry() = default;

 private:
  struct Entry {
    std::type_index type;
    std::shared_ptr<void> object;
  };
  bool add(const std::string& name, std::type_index type, std::shared_ptr<void> object);
  std::shared_ptr<void> find(const std::string& name, std::type_index type) const;

  mutable std::mutex mutex_;
  std::map<std::string, Entry> classes_;
};

}  // namespace platform
