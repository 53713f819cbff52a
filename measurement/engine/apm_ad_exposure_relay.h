// Connects the ad exposure reporter of the commerce reporters to the engine: installs its hooks
// (the screen-view reporter's current screen parameters, the application's activity) and
// registers the shared reporter under "APMAdExposureReporter", where the screen-view reporter's
// relay looks for it. Called once by the facade's start block; any thread; idempotent.
#pragma once

void APMInstallAdExposureReporter();
