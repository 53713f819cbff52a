// The layer model of the simulated window server: a view's backing layer, sublayers, and a
// player layer that shows a media player. Stands in for the platform's layer classes. Layers
// only record the tree (nothing is drawn). Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/dispatch/sequence_checker.h"

namespace platform {

class Layer : public std::enable_shared_from_this<Layer> {
 public:
  Layer() = default;
  virtual ~Layer() = default;
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;

  virtual std::string className() const { return "Layer"; }
  // Moves `layer` here (from its former superlayer, if any), on top of the others.
  void addSublayer(const std::shared_ptr<Layer>& layer);
  // Nothing when the layer has no superlayer.
  void removeFromSuperlayer();
  const std::vector<std::shared_ptr<Layer>>& sublayers() const { return sublayers_; }
  std::shared_ptr<Layer> superlayer() const { return superlayer_.lock(); }

 private:
  std::vector<std::shared_ptr<Layer>> sublayers_;
  std::weak_ptr<Layer> superlayer_;
  SequenceChecker mainThread_{SequenceChecker::kMainThread};
};
using LayerPtr = std::shared_ptr<Layer>;

// A layer showing a media player (held strongly, as the platform's player layer holds it).
class PlayerLayer : public Layer {
 public:
  static std::shared_ptr<PlayerLayer> playerLayerWithPlayer(ObjectPtr player);
  explicit PlayerLayer(ObjectPtr player) : player_(std::move(player)) {}
  std::string className() const override { return "PlayerLayer"; }
  const ObjectPtr& player() const { return player_; }

 private:
  ObjectPtr player_;
};

}  // namespace platform
