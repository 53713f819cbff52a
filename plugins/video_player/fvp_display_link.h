// Display links of texture players: a callback once per display refresh, on the main thread,
// while running. Below system version 14.0 the display-thread link's ticks are merged into the
// main loop through a data-add source (ticks the main loop has not reached yet become one
// callback); from 14.0 a main-loop link ticks directly.
//
// running() and setRunning() are safe from any thread (the engine's frame thread starts and
// stops links); creation, duration() and release happen on the main thread.
#pragma once

#include <functional>
#include <memory>

#include "platform/appkit/display_link.h"
#include "platform/dispatch/data_add_source.h"
#include "plugins/video_player/fvp_view_provider.h"

namespace video_player {

class FVPDisplayLink {
 public:
  virtual ~FVPDisplayLink() = default;
  // A new link is not running.
  virtual bool running() const = 0;
  virtual void setRunning(bool running) = 0;
  // Seconds between two refreshes; 0 when the display cannot tell.
  virtual double duration() const = 0;
};

class FVPCoreVideoDisplayLink : public FVPDisplayLink {
 public:
  FVPCoreVideoDisplayLink(const std::shared_ptr<FVPViewProvider>& viewProvider,
                          std::function<void()> callback);
  ~FVPCoreVideoDisplayLink() override;
  bool running() const override;
  void setRunning(bool running) override;
  double duration() const override;

 private:
  std::weak_ptr<FVPViewProvider> viewProvider_;
  std::shared_ptr<platform::DataAddSource> displayLinkSource_;
  std::unique_ptr<platform::CoreVideoDisplayLink> displayLink_;
};

class FVPCADisplayLink : public FVPDisplayLink {
 public:
  FVPCADisplayLink(const std::shared_ptr<FVPViewProvider>& viewProvider,
                   std::function<void()> callback);
  ~FVPCADisplayLink() override;
  bool running() const override;
  void setRunning(bool running) override;
  double duration() const override;

 private:
  std::unique_ptr<platform::MainLoopDisplayLink> displayLink_;
};

class DisplayLinkFactory {
 public:
  virtual ~DisplayLinkFactory() = default;
  virtual std::shared_ptr<FVPDisplayLink>
  displayLink(const std::shared_ptr<FVPViewProvider>& viewProvider,
              std::function<void()> callback) = 0;
};

// The main-loop link from system version 14.0 (LUMORA_OS_VERSION), the display-thread link
// below it.
class DefaultDisplayLinkFactory : public DisplayLinkFactory {
 public:
  std::shared_ptr<FVPDisplayLink> displayLink(const std::shared_ptr<FVPViewProvider>& viewProvider,
                                              std::function<void()> callback) override;
};

}  // namespace video_player
