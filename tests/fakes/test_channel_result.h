// The one way the test host's hand-written method channels answer: the handler's value, not
// implemented for std::out_of_range (an unknown method), "invalid-arguments" with the message
// for any other exception.
#pragma once

#include <exception>
#include <stdexcept>

#include "platform/engine/channels.h"

namespace lumora::testing {

template <class Handle> void answerTestCall(const flutter::MethodResult& result, Handle handle) {
  try {
    result(handle());
  } catch (const std::out_of_range&) {
    result(flutter::MethodNotImplemented);
  } catch (const std::exception& e) {
    result(flutter::Error::errorWithCode("invalid-arguments", e.what()));
  }
}

}  // namespace lumora::testing
