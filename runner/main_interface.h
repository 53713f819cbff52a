// The host's main interface description: the application delegate and one main window.
#pragma once

#include "platform/appkit/application.h"

namespace lumora {

platform::InterfaceDescription mainInterface();

// The process main, shared by the host and its test build: runs the application main with the
// main interface and returns its exit status.
int lumoraMain(int argc, char** argv);

}  // namespace lumora
