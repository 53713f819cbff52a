#include "measurement/script/apmp_evaluator.h"

void APMPRegisterLoopCommands(APMPCommandEntry (&)[APMPCommandCount]) {}
