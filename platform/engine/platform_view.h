// Native views embedded in the engine's drawing. A plugin registers a factory under a view type;
// when the application's code asks for a view of that type (method "create" on the channel
// "flutter/platform_views", arguments {"id", "viewType", "params"}), the engine decodes the
// creation parameters with the factory's codec and asks the factory for the view. Main thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/appkit/view.h"
#include "platform/core/value.h"
#include "platform/engine/standard_codec.h"

namespace flutter {

class PlatformViewFactory {
 public:
  virtual ~PlatformViewFactory() = default;
  // Makes the view; `arguments` are the creation parameters decoded with createArgsCodec()
  // (null when the factory has no codec or the application sent none). May return null.
  virtual platform::ViewPtr createWithViewIdentifier(std::int64_t viewId,
                                                     const platform::Value& arguments) = 0;
  // The codec for the creation parameters; none means the parameters are not decoded.
  virtual MessageCodecPtr createArgsCodec() const { return nullptr; }
};
using PlatformViewFactoryPtr = std::shared_ptr<PlatformViewFactory>;

}  // namespace flutter
