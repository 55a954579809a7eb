#pragma once
#include "CommandLine.h"

// "read FILE": a trace file as text (ordinary or ring), optionally filtered and followed.
void AddReadCommand(CLI::App& tool, CToolStreams& streams);
