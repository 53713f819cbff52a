// The factory of the web view bridge's native API delegates: one per API whose native side is
// built. APIs left out install no handler (their channels get the empty reply).
#pragma once

#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

ProxyApiDelegates makeProxyApiDelegates();

}  // namespace webview
