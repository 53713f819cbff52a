#include "measurement/script/apmp_evaluator.h"

void APMPRegisterOperatorCommands(APMPCommandEntry (&)[APMPCommandCount]) {}
