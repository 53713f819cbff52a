// The screen retriever plugin: "dev.quillmotive.plugins/screen_retriever" answers the cursor
// position and the displays in top-left coordinates; "dev.quillmotive.plugins/screen_retriever_
// event" announces displays added or removed (one event per screen-parameters notification that
// changes the count). The count is kept whether or not anyone listens.
//
// With no screen at all, "getPrimaryDisplay" answers null, "getAllDisplays" an empty list, and
// heights (and the cursor's top) count as 0. Lives for the process; main thread only.
#pragma once

#include <cstdint>

#include "platform/appkit/screen.h"
#include "platform/core/value.h"
#include "platform/engine/channels.h"
#include "platform/engine/plugin_registrar.h"

class ScreenRetrieverMacosPlugin : public flutter::Plugin, public flutter::StreamHandler {
 public:
  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override;
  std::optional<flutter::Error> onListenWithArguments(const platform::Value& arguments,
                                                      flutter::EventSink events) override;
  std::optional<flutter::Error> onCancelWithArguments(const platform::Value& arguments) override;

  // The display record of one screen.
  static platform::Value toDictionary(const platform::Screen& screen);
  static platform::Value cursorScreenPoint();
  void handleDisplayConnection();

 private:
  flutter::EventSink eventSink_;
  std::int64_t externalDisplayCount_ = 0;
};
