// Components of the per-app service locator: a protocol (a name plus a conformance test), a
// creation block and when to create the instance. Registrant libraries (FIRLibrary) list their
// components; a container is filled from them when its app is made.
//
// Immutable after creation; safe to share between threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"

class FIRApp;
class FIRComponentContainer;

// Component instances are platform objects that also derive from their protocol's interface.
using FIRComponentInstance = platform::ObjectPtr;

// A protocol under which instances are requested: its name and a test of conformance.
struct FIRProtocol {
  std::string name;
  std::function<bool(const FIRComponentInstance&)> conforms;

  // The protocol of interface `P`, named `name`.
  template <class P> static FIRProtocol of(std::string name) {
    return FIRProtocol{std::move(name), [](const FIRComponentInstance& instance) {
                         return std::dynamic_pointer_cast<P>(instance) != nullptr;
                       }};
  }
};

enum FIRInstantiationTiming : int {
  FIRInstantiationTimingLazy = 0,
  FIRInstantiationTimingAlwaysEager = 1,
  FIRInstantiationTimingEagerInDefaultApp = 2,
};

// Returns the instance or null; setting *isCacheable keeps and shares it.
using FIRComponentCreationBlock =
    std::function<FIRComponentInstance(FIRComponentContainer& container, bool* isCacheable)>;

class FIRComponent {
 public:
  static std::shared_ptr<const FIRComponent>
  componentWithProtocol(FIRProtocol protocol, FIRComponentCreationBlock creationBlock);
  static std::shared_ptr<const FIRComponent>
  componentWithProtocol(FIRProtocol protocol, FIRInstantiationTiming instantiationTiming,
                        FIRComponentCreationBlock creationBlock);

  FIRComponent(FIRProtocol protocol, FIRInstantiationTiming instantiationTiming,
               FIRComponentCreationBlock creationBlock)
      : protocol_(std::move(protocol)), instantiationTiming_(instantiationTiming),
        creationBlock_(std::move(creationBlock)) {}

  const FIRProtocol& protocol() const { return protocol_; }
  FIRInstantiationTiming instantiationTiming() const { return instantiationTiming_; }
  const FIRComponentCreationBlock& creationBlock() const { return creationBlock_; }

 private:
  FIRProtocol protocol_;
  FIRInstantiationTiming instantiationTiming_;
  FIRComponentCreationBlock creationBlock_;
};
using FIRComponentPtr = std::shared_ptr<const FIRComponent>;

// A registrant: a library class that lists its components. Its class object is shared.
class FIRLibrary {
 public:
  virtual ~FIRLibrary() = default;
  // The class name, which identifies the registrant.
  virtual std::string className() const = 0;
  virtual std::vector<FIRComponentPtr> componentsToRegister() const = 0;
};
using FIRLibraryPtr = std::shared_ptr<const FIRLibrary>;

// An optional answer of a library class: its SDK version.
class FIRSDKVersionProviding {
 public:
  virtual ~FIRSDKVersionProviding() = default;
  virtual std::optional<std::string> sdkVersion() const = 0;
};

// Implemented by component instances that want to hear of their app's deletion.
class FIRComponentLifecycleMaintainer {
 public:
  virtual ~FIRComponentLifecycleMaintainer() = default;
  virtual void appWillBeDeleted(const std::shared_ptr<FIRApp>& app) = 0;
};
