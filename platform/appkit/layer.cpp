#include "platform/appkit/layer.h"

#include <algorithm>

namespace platform {

void Layer::addSublayer(const std::shared_ptr<Layer>& layer) {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  if (!layer || layer.get() == this) return;
  layer->removeFromSuperlayer();
  sublayers_.push_back(layer);
  layer->superlayer_ = weak_from_this();
}

void Layer::removeFromSuperlayer() {
  LUMORA_CHECK_SEQUENCE(mainThread_);
  auto parent = superlayer_.lock();
  superlayer_.reset();
  if (!parent) return;
  auto& siblings = parent->sublayers_;
  siblings.erase(
      std::remove_if(siblings.begin(), siblings.end(),
                     [this](const std::shared_ptr<Layer>& l) { return l.get() == this; }),
      siblings.end());
}

std::shared_ptr<PlayerLayer> PlayerLayer::playerLayerWithPlayer(ObjectPtr player) {
  return std::make_shared<PlayerLayer>(std::move(player));
}

}  // namespace platform
