#pragma once
#include "CommandLine.h"

// "trace on|off|show": the trace's registry configuration.
void AddTraceCommand(CLI::App& tool, CToolStreams& streams);
