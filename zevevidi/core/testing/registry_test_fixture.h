// A test fixture for code that configures apps: every test starts and ends with an empty app
// registry, no component registrants, an in-memory main bundle ("com.example.app") and scratch
// preferences.
#pragma once

#include <gtest/gtest.h>

#include "platform/foundation/bundle.h"
#include "platform/foundation/preferences.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/core/fir_component_container.h"

namespace zevevidi_testing {

class RegistryTestFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
        "/nonexistent",
        {{platform::Value("CFBundleIdentifier"), platform::Value("com.example.app")}}));
  }
  void TearDown() override {
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    platform::Bundle::setMainForTesting(nullptr);
  }
  platform::ScopedPreferencesForTesting preferences_;
};

}  // namespace zevevidi_testing
