#include "platform/engine/reply_once.h"

#include "platform/core/assertion.h"
#include "platform/engine/engine_log.h"

namespace flutter {

ReplyOnce::~ReplyOnce() {
  if (!replied_.exchange(true) && target_) {
    engineLog("handler on channel \"" + channel_ + "\" dropped its reply; sending the empty reply");
    try {
      target_({});
    } catch (...) {
    }
  }
}

void ReplyOnce::reply(const platform::Bytes& bytes) {
  if (replied_.exchange(true)) {
    platform::assertionFailure(__FILE__, __LINE__,
                               "reply already sent on channel \"" + channel_ + "\"");
    return;
  }
  if (target_) target_(bytes);
}

}  // namespace flutter
