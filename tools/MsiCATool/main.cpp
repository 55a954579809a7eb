// MsiCATool: support's companion to MsiCA.dll. Each subcommand lives in a source of its own.
#include "CArguments.h"
#include "CConsoleOutput.h"
#include "InspectCommand.h"
#include "ReadCommand.h"
#include "TraceCommand.h"
#include <cwchar>

namespace
{
struct Command
{
    const wchar_t* name;
    int (*run)(CArguments&, CConsoleOutput&, CConsoleOutput&);
    const wchar_t* usage;
};

const Command kCommands[] = {
    {L"trace", RunTraceCommand, kTraceUsage},
    {L"read", RunReadCommand, kReadUsage},
    {L"inspect", RunInspectCommand, kInspectUsage},
};

void Usage(CConsoleOutput& out)
{
    out << L"MsiCATool: turns MsiCA's diagnostic trace on and off, reads it back, and shows what the\r\n"
           L"actions would decide on this machine.\r\n"
           L"Usage: MsiCATool COMMAND [options]\r\n";
    for (const Command& command : kCommands)
    {
        out << command.usage;
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    // Both streams are taken before anything could allocate a console of its own.
    CConsoleOutput out(STD_OUTPUT_HANDLE);
    CConsoleOutput err(STD_ERROR_HANDLE);
    if (argc >= 2)
    {
        for (const Command& command : kCommands)
        {
            if (wcscmp(argv[1], command.name) == 0)
            {
                CArguments arguments(argc, argv, 2);
                return command.run(arguments, out, err);
            }
        }
        if (wcscmp(argv[1], L"help") == 0 || wcscmp(argv[1], L"--help") == 0 || wcscmp(argv[1], L"/?") == 0)
        {
            Usage(out);
            return 0;
        }
        err << L"Unknown command \"" << argv[1] << L"\".\r\n";
    }
    Usage(err);
    return 2;
}
