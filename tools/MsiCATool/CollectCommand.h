#pragma once
#include "CommandLine.h"

// "collect [FOLDER or FILE.cab]": what support asks for after a failed installation, in one
// cabinet; reads only.
void AddCollectCommand(CLI::App& tool, CToolStreams& streams);
