// A tiny host for the logger tests: it takes its launch arguments like the host does, writes one
// debug line through the Zevevidi logger and waits for it to reach the log. The tests run it
// several times against one preferences folder to show that the debug switch outlives a launch.
#include <string>
#include <vector>

#include "platform/foundation/process_info.h"
#include "zevevidi/utilities/fir_logger.h"

int main(int argc, char** argv) {
  platform::ProcessInfo::processInfo().setArguments(std::vector<std::string>(argv, argv + argc));
  FIRLogDebug(kFIRLoggerCore, "I-COR000099", "probe debug line");
  FIRLogWarning(kFIRLoggerCore, "I-COR000098", "probe finished");
  GULLoggerFlushForTesting();
  return 0;
}
