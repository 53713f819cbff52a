#include "zevevidi/core/fir_component_container.h"

#include <algorithm>

#include "platform/log/log.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/utilities/fir_logger.h"

namespace {

struct RegistrantSet {
  std::mutex mutex;
  FIRComponentContainer::Registrants list;
};

RegistrantSet& registrantSet() {
  static auto* set = new RegistrantSet();
  return *set;
}

}  // namespace

void FIRComponentContainer::registerAsComponentRegistrant(FIRLibraryPtr library) {
  if (!library) return;
  auto& set = registrantSet();
  std::lock_guard<std::mutex> lock(set.mutex);
  for (const auto& existing : set.list) {
    if (existing->className() == library->className()) return;
  }
  set.list.push_back(std::move(library));
}

FIRComponentContainer::Registrants FIRComponentContainer::registrants() {
  auto& set = registrantSet();
  std::lock_guard<std::mutex> lock(set.mutex);
  return set.list;
}

void FIRComponentContainer::resetRegistrantsForTesting() {
  auto& set = registrantSet();
  std::lock_guard<std::mutex> lock(set.mutex);
  set.list.clear();
}

namespace {

FIRComponentContainer::Registrants registrantsFor(const std::shared_ptr<FIRApp>& app) {
  auto all = FIRComponentContainer::registrants();
  // The augmented-reality app runs without the app-check component.
  if (app && app->name() == "ARLensFIRApp" && app->options()->ZCMSenderID() == "480963775968") {
    all.erase(std::remove_if(
                  all.begin(), all.end(),
                  [](const FIRLibraryPtr& l) { return l->className() == "FIRAppCheckComponent"; }),
              all.end());
  }
  return all;
}

}  // namespace

FIRComponentContainer::FIRComponentContainer(const std::shared_ptr<FIRApp>& app)
    : FIRComponentContainer(app, registrantsFor(app)) {}

FIRComponentContainer::FIRComponentContainer(const std::shared_ptr<FIRApp>& app,
                                             const Registrants& registrants)
    : app_(app) {
  populateComponentsFromRegisteredClasses(registrants, app && app->isDefaultApp());
}

void FIRComponentContainer::populateComponentsFromRegisteredClasses(const Registrants& registrants,
                                                                    bool isDefaultApp) {
  eagerProtocolsToInstantiate_.emplace();
  for (const auto& library : registrants) {
    for (const auto& component : library->componentsToRegister()) {
      if (!component) continue;
      const std::string& name = component->protocol().name;
      if (components_.count(name)) {
        FIRLogError(kFIRLoggerCore, "I-COR000029",
                    "Attempted to register protocol %s, but it already has an implementation.",
                    name.c_str());
        continue;
      }
      components_[name] = component->creationBlock();
      auto timing = component->instantiationTiming();
      if (timing == FIRInstantiationTimingAlwaysEager ||
          (timing == FIRInstantiationTimingEagerInDefaultApp && isDefaultApp)) {
        eagerProtocolsToInstantiate_->push_back(component->protocol());
      }
    }
  }
}

FIRComponentInstance FIRComponentContainer::instanceForProtocol(const FIRProtocol& protocol) {
  FIRComponentCreationBlock block;
  std::uint64_t removalsBefore = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    // A request while another thread makes the same protocol waits for that instance. One from
    // inside the protocol's own block (same thread) runs the block again, as it always has.
    creating_.take(lock, protocol.name);
    auto cached = cachedInstances_.find(protocol.name);
    auto it = components_.find(protocol.name);
    if (cached != cachedInstances_.end() || it == components_.end() || !it->second) {
      creating_.give(protocol.name);
      return cached != cachedInstances_.end() ? cached->second : nullptr;
    }
    // A copy: the block may run a removal that empties the map meanwhile.
    block = it->second;
    removalsBefore = removals_;
  }

  bool isCacheable = false;
  FIRComponentInstance instance;
  auto finish = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    creating_.give(protocol.name);
    // A nested request may have cached one already: the first stays. One made across a removal
    // is not kept (its app is going away).
    if (instance && isCacheable && removals_ == removalsBefore) {
      instance = cachedInstances_.emplace(protocol.name, instance).first->second;
    }
  };
  try {
    instance = block(*this, &isCacheable);
  } catch (...) {
    instance = nullptr;
    finish();
    throw;
  }
  finish();
  if (!instance) return nullptr;
  if (protocol.conforms && !protocol.conforms(instance)) {
    FIRLogError(kFIRLoggerCore, "I-COR000030",
                "An instance conforming to %s was requested, but the instance provided does not "
                "conform to the protocol",
                protocol.name.c_str());
  }
  return instance;
}

void FIRComponentContainer::instantiateEagerComponents() {
  std::vector<FIRProtocol> eager;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!eagerProtocolsToInstantiate_) return;
    eager = std::move(*eagerProtocolsToInstantiate_);
    eagerProtocolsToInstantiate_.reset();
  }
  for (const auto& protocol : eager)
    instanceForProtocol(protocol);
}

void FIRComponentContainer::removeAllComponents() {
  std::map<std::string, FIRComponentCreationBlock> blocks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks.swap(components_);
  }
  // The blocks' captures are released here, outside the lock.
}

void FIRComponentContainer::removeAllCachedInstances() {
  std::map<std::string, FIRComponentInstance> instances;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    instances.swap(cachedInstances_);
    ++removals_;
  }
  auto app = app_.lock();
  for (const auto& [name, instance] : instances) {
    auto maintainer = std::dynamic_pointer_cast<FIRComponentLifecycleMaintainer>(instance);
    if (!maintainer) continue;
    // One component failing to let go must not keep the others from hearing of the deletion,
    // nor leave the app half deleted.
    try {
      maintainer->appWillBeDeleted(app);
    } catch (const std::exception& e) {
      platform::Log::cached("com.ziriza.zevevidi", "components")
          ->error("component " + name + " failed on app deletion: " + e.what());
    }
  }
}

std::vector<std::string> FIRComponentContainer::componentNames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [name, block] : components_)
    out.push_back(name);
  return out;
}

std::vector<std::string> FIRComponentContainer::cachedInstanceNames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& [name, instance] : cachedInstances_)
    out.push_back(name);
  return out;
}

bool FIRComponentContainer::hasEagerProtocolsToInstantiate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return eagerProtocolsToInstantiate_.has_value();
}
