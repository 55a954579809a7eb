// MsiCATool: support's companion to MsiCA.dll. Each command lives in a source of its own.
#include "CConsoleOutput.h"
#include "CommandLine.h"

int wmain(int argc, wchar_t** argv)
{
    // Both streams are taken before anything could allocate a console of its own.
    CConsoleOutput out(STD_OUTPUT_HANDLE);
    CConsoleOutput err(STD_ERROR_HANDLE);
    CToolStreams streams{out, err};
    return RunCommandLine(std::vector<std::wstring>(argv + 1, argv + argc), streams);
}
