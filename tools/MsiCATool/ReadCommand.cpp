#include "ReadCommand.h"
#include "CLineFilter.h"
#include "CTraceReader.h"
#include "ErrorText.h"
#include <memory>

namespace
{
constexpr DWORD kPollMs = 250;

void Show(CConsoleOutput& out, CLineFilter& filter, const std::wstring& text)
{
    out.Write(filter.Take(text));
}

struct ReadOptions
{
    std::string file;
    bool rotated = false;
    bool errors = false;
    std::vector<std::string> markers;
    bool follow = false;
    std::string seconds;
};

int Read(const ReadOptions& options, CConsoleOutput& out, CConsoleOutput& err)
{
    std::vector<std::wstring> markers;
    for (const std::string& marker : options.markers)
    {
        markers.push_back(Wide(marker));
    }
    if (options.errors)
    {
        markers.insert(markers.end(), {L"ERROR", L"FATAL", L"WARNING"});
    }
    unsigned long long seconds = 0;
    const bool timed = !options.seconds.empty();
    if (timed && !ParseNumber(Wide(options.seconds), seconds))
    {
        RejectValue(L"--seconds needs a number of seconds");
    }
    const std::wstring path = Wide(options.file);
    const bool rotated = options.rotated;
    const bool follow = options.follow;
    CLineFilter filter(markers);

    if (rotated)
    {
        std::wstring text;
        const DWORD error = CTraceReader(path + L".txt").Poll(text);
        if (error == ERROR_SUCCESS)
        {
            Show(out, filter, text);
        }
        else if (error != ERROR_FILE_NOT_FOUND)
        {
            err << L"Cannot read " << path << L".txt: " << ErrorText(error) << L"\r\n";
        }
    }

    CTraceReader reader(path);
    std::wstring text;
    DWORD error = reader.Poll(text);
    if (error != ERROR_SUCCESS && !(follow && error == ERROR_FILE_NOT_FOUND))
    {
        err << L"Cannot read " << path << L": " << ErrorText(error) << L"\r\n";
        return kExitFailed;
    }
    Show(out, filter, text);
    if (follow)
    {
        const ULONGLONG end = GetTickCount64() + seconds * 1000;
        while (!timed || GetTickCount64() < end)
        {
            Sleep(kPollMs);
            // A file missing for a moment (between rotation's delete and rename) is waited for.
            if (reader.Poll(text) == ERROR_SUCCESS)
            {
                Show(out, filter, text);
            }
        }
    }
    out.Write(filter.Finish());
    if (!out.AtLineStart())
    {
        out << L"\r\n";
    }
    return kExitDone;
}
} // namespace

void AddReadCommand(CLI::App& tool, CToolStreams& streams)
{
    CLI::App& read = *tool.add_subcommand(
        "read", "Prints a trace file as text: an ordinary file (UTF-16 or ANSI) as it stands, a ring file in "
                "time order, oldest text first.");
    auto options = std::make_shared<ReadOptions>();
    read.add_option("FILE", options->file, "The trace file")->required();
    read.add_flag("--rotated", options->rotated, "First the older file FILE.txt that rotation left");
    read.add_flag("--errors", options->errors, "Only lines with ERROR, FATAL or WARNING");
    read.add_option("--find", options->markers,
                    "Only lines with TEXT (case counts; repeat or separate by commas)")
        ->delimiter(',')
        ->allow_extra_args(false);
    CLI::Option* follow =
        read.add_flag("--follow", options->follow, "Keep printing what is written, until Ctrl+C");
    read.add_option("--seconds", options->seconds, "With --follow: stop after N seconds")->needs(follow);
    read.callback([options, &streams] { streams.exitCode = Read(*options, streams.out, streams.err); });
}
