// FIRComponentContainer: the per-app service locator. Maps a protocol name to a creation block
// (filled once, from the registrants known when the container is built) and keeps the
// instances their blocks let it share.
//
// Locking: each container has one mutex guarding its maps, held only to read or change them,
// never while a creation block or appWillBeDeleted runs; those may call back into the container
// and into the app registry from any thread. It is a leaf: nothing else is locked under it. A
// request for a protocol whose instance another thread is making waits for that instance, so a
// shared instance is made once. The registrant set (process-wide, written at start-up
// registration) has a leaf mutex of its own.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "zevevidi/core/fir_component.h"
#include "zevevidi/core/keyed_turns.h"

class FIRComponentContainer {
 public:
  using Registrants = std::vector<FIRLibraryPtr>;

  // Adds a registrant class (once per class name).
  static void registerAsComponentRegistrant(FIRLibraryPtr library);
  static Registrants registrants();
  // Test support: forget every registrant.
  static void resetRegistrantsForTesting();

  // From the registrant set (without "FIRAppCheckComponent" for the augmented-reality app).
  explicit FIRComponentContainer(const std::shared_ptr<FIRApp>& app);
  FIRComponentContainer(const std::shared_ptr<FIRApp>& app, const Registrants& registrants);

  FIRComponentInstance instanceForProtocol(const FIRProtocol& protocol);
  // The instance cast to the protocol's interface.
  template <class P> std::shared_ptr<P> instanceFor(const FIRProtocol& protocol) {
    return std::dynamic_pointer_cast<P>(instanceForProtocol(protocol));
  }
  void instantiateEagerComponents();
  void removeAllCachedInstances();
  void removeAllComponents();

  std::shared_ptr<FIRApp> app() const { return app_.lock(); }
  std::vector<std::string> componentNames() const;
  std::vector<std::string> cachedInstanceNames() const;
  bool hasEagerProtocolsToInstantiate() const;

 private:
  void populateComponentsFromRegisteredClasses(const Registrants& registrants, bool isDefaultApp);

  std::weak_ptr<FIRApp> app_;
  mutable std::mutex mutex_;
  // A protocol is held while its creation block runs.
  zevevidi_core_internal::KeyedTurns creating_;
  // Counts the removals of cached instances: an instance made across one is not kept.
  std::uint64_t removals_ = 0;
  std::map<std::string, FIRComponentCreationBlock> components_;
  std::map<std::string, FIRComponentInstance> cachedInstances_;
  std::optional<std::vector<FIRProtocol>> eagerProtocolsToInstantiate_;
};

// The class-operation form of instanceForProtocol.
struct FIRComponentType {
  static FIRComponentInstance instanceForProtocol(const FIRProtocol& protocol,
                                                  FIRComponentContainer& container) {
    return container.instanceForProtocol(protocol);
  }
};
