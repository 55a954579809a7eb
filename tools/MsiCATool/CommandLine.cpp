#include "CommandLine.h"
#include "CollectCommand.h"
#include "InspectCommand.h"
#include "ReadCommand.h"
#include "TraceCommand.h"
#include <windows.h>
#include <sstream>

namespace
{
const char kExitCodes[] = "Exit codes: 0 done; 1 failed (a file, registry key or folder could not be "
                          "used; the message says which); 2 the command line is wrong.";

std::vector<CLI::App*> AllSubcommands(CLI::App& command)
{
    return command.get_subcommands([](CLI::App*) { return true; });
}

// Every command's help takes any case and ends with the exit codes.
void FinishHelp(CLI::App& command)
{
    command.get_help_ptr()->ignore_case();
    command.footer(kExitCodes);
    for (CLI::App* sub : AllSubcommands(command))
    {
        FinishHelp(*sub);
    }
}

// The command that was being parsed: the chain of subcommands given, and its innermost one.
CLI::App& GivenCommand(CLI::App& tool, std::string& chain)
{
    CLI::App* command = &tool;
    chain = tool.get_name();
    while (!command->get_subcommands().empty())
    {
        command = command->get_subcommands().front();
        chain += " " + command->get_name();
    }
    return *command;
}

std::string Choices(CLI::App& command)
{
    std::string names;
    for (const CLI::App* sub : AllSubcommands(command))
    {
        names += (names.empty() ? "" : ", ") + sub->get_name();
    }
    return names;
}

// CLI11's error as the one line an administrator reads.
std::string ErrorLine(CLI::App& command, const CLI::ParseError& error)
{
    const std::vector<std::string> rest = command.remaining();
    const bool hasCommands = !AllSubcommands(command).empty();
    if (!rest.empty() &&
        (dynamic_cast<const CLI::ExtrasError*>(&error) || dynamic_cast<const CLI::RequiredError*>(&error)))
    {
        const char* what = (rest.front()[0] == '-' || rest.front()[0] == '/') ? "unknown option "
                           : hasCommands                                      ? "unknown command "
                                                                              : "unexpected word ";
        return what + rest.front();
    }
    if (hasCommands && dynamic_cast<const CLI::RequiredError*>(&error))
    {
        return "a command is needed: " + Choices(command);
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error))
    {
        // "--name: 1 required TEXT missing"
        const std::string what = error.what();
        return what.substr(0, what.find(':')) + " needs a value";
    }
    return error.what();
}

} // namespace

std::string Utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                        nullptr);
    return bytes;
}

std::wstring Wide(const std::string& text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::wstring WideLines(const std::string& text)
{
    std::wstring lines;
    for (const wchar_t c : Wide(text))
    {
        lines += c == L'\n' ? std::wstring(L"\r\n") : std::wstring(1, c);
    }
    return lines;
}

std::wstring Lower(const std::string& text)
{
    std::wstring wide = Wide(text);
    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return wide;
}

void RejectValue(const std::wstring& message)
{
    throw CLI::ValidationError(Utf8(message));
}

bool ParseNumber(const std::wstring& text, unsigned long long& value)
{
    if (text.empty() || text.size() > 12 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
    {
        return false;
    }
    value = std::stoull(text);
    return true;
}

int RunCommandLine(const std::vector<std::wstring>& words, CToolStreams& streams)
{
    CLI::App tool("MsiCATool: turns MsiCA's diagnostic trace on and off, reads it back, and shows what "
                  "the actions would decide on this machine.",
                  "MsiCATool");
    tool.ignore_case();
    tool.option_defaults()->ignore_case();
    tool.require_subcommand(1);
    AddTraceCommand(tool, streams);
    AddReadCommand(tool, streams);
    AddInspectCommand(tool, streams);
    AddCollectCommand(tool, streams);
    FinishHelp(tool);

    // CLI11 takes the words last first. "help COMMAND" is "COMMAND --help".
    const bool help = !words.empty() && Lower(Utf8(words.front())) == L"help";
    std::vector<std::string> reversed;
    if (help)
    {
        reversed.push_back("--help");
    }
    for (auto word = words.rbegin(); word != words.rend() - (help ? 1 : 0); ++word)
    {
        reversed.push_back(*word == L"/?" ? "--help" : Utf8(*word));
    }
    try
    {
        tool.parse(reversed);
    }
    catch (const CLI::CallForHelp& help)
    {
        std::ostringstream text;
        tool.exit(help, text, text);
        streams.out << WideLines(text.str());
        return kExitDone;
    }
    catch (const CLI::ParseError& error)
    {
        std::string chain;
        CLI::App& command = GivenCommand(tool, chain);
        streams.err << Wide(ErrorLine(command, error)) << L"\r\n"
                    << L"See \"" << Wide(chain) << L" --help\".\r\n";
        return kExitBadCommand;
    }
    return streams.exitCode;
}
