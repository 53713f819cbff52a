// measurement-probe: drives the measurement classes from JSON lines (see README.md).
//
//   measurement-probe [--mock-clock T] [--store-build] [-- process arguments...]
//
// The state root comes from LUMORA_HOME. --mock-clock starts a mock clock at T seconds since
// 1970 and adds the "advance" command; --store-build makes the process a store build; the
// arguments after "--" become the process's launch arguments. Log lines go to standard error.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/test_environment.h"
#include "platform/foundation/process_info.h"
#include "tools/measurement-probe/audience_commands.h"
#include "tools/measurement-probe/config_commands.h"
#include "tools/measurement-probe/consent_commands.h"
#include "tools/measurement-probe/database_commands.h"
#include "tools/measurement-probe/engine_commands.h"
#include "tools/measurement-probe/engine_properties_commands.h"
#include "tools/measurement-probe/experiment_manager_commands.h"
#include "tools/measurement-probe/experiments_commands.h"
#include "tools/measurement-probe/model_commands.h"
#include "tools/measurement-probe/probe_session.h"
#include "tools/measurement-probe/storage_commands.h"
#include "tools/measurement-probe/tables_commands.h"
#include "tools/measurement-probe/utility_commands.h"
#include "zevevidi/utilities/fir_logger.h"
#include "zevevidi/utilities/gul_app_environment_util.h"
#include "zevevidi/utilities/gul_logger.h"

int main(int argc, char** argv) {
  std::optional<double> mockClockStart;
  bool storeBuild = false;
  std::vector<std::string> processArguments{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--") {
      processArguments.insert(processArguments.end(), argv + i + 1, argv + argc);
      break;
    }
    if (argument == "--store-build") {
      storeBuild = true;
    } else if (argument == "--mock-clock" && i + 1 < argc) {
      char* end = nullptr;
      mockClockStart = std::strtod(argv[++i], &end);
      if (!end || *end != '\0') {
        std::fprintf(stderr, "measurement-probe: --mock-clock needs a number of seconds\n");
        return 64;
      }
    } else {
      std::fprintf(stderr,
                   "usage: measurement-probe [--mock-clock T] [--store-build] [-- arguments]\n");
      return 64;
    }
  }

  platform::ProcessInfo::processInfo().setArguments(processArguments);
  if (storeBuild) GULAppEnvironmentUtil::setFromAppStoreForTesting(true);
  GULLoggerRegisterVersion(kFIRLoggerSDKVersion);
  std::unique_ptr<platform::TestEnvironment> mockClock;
  if (mockClockStart) mockClock = std::make_unique<platform::TestEnvironment>(*mockClockStart);

  lumora::probe::ProbeSession session(mockClock.get());
  lumora::probe::registerStorageCommands(session);
  lumora::probe::registerUtilityCommands(session);
  lumora::probe::registerConsentCommands(session);
  lumora::probe::registerModelCommands(session);
  lumora::probe::registerDatabaseCommands(session);
  lumora::probe::registerTableCommands(session);
  lumora::probe::registerAudienceCommands(session);
  lumora::probe::registerConfigCommands(session);
  lumora::probe::registerExperimentsCommands(session);
  lumora::probe::registerExperimentManagerCommands(session);
  lumora::probe::registerEngineCommands(session);
  lumora::probe::registerEnginePropertiesCommands(session);
  if (mockClock) {
    session.add("advance", [&mockClock](const lumora::probe::Json& command) {
      mockClock->advance(lumora::probe::numberField(command, "seconds"));
      return lumora::probe::Json{{"now", mockClock->now()}};
    });
  }
  // The monitor reads its switches now, so the reports of the launch arguments are printed too.
  APMProcessMonitor()->waitForMonitorQueue();

  const int status = session.run(std::cin);
  GULLoggerFlushForTesting();  // the logging queue writes the last lines before the exit
  std::fflush(stdout);
  std::fflush(stderr);
  // Everything is written by now. Leave without the static teardown: timers of the real clock
  // may still be pending on their service thread, which reads the clock while it is destroyed.
  std::_Exit(status);
}
