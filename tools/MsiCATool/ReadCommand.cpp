#include "ReadCommand.h"
#include "CLineFilter.h"
#include "CTraceReader.h"
#include "ErrorText.h"
#include <memory>

namespace
{
constexpr DWORD kPollMs = 250;
constexpr size_t kFollowedLines = 10;
constexpr size_t kAllLines = SIZE_MAX;

// The text's last count lines. A trace line begins with its line feed, and the newest line
// has none behind it yet; a line feed at the very end ends a line and starts none.
std::wstring LastLines(const std::wstring& text, size_t count)
{
    size_t start = text.size() - (!text.empty() && text.back() == L'\n' ? 1 : 0);
    for (size_t found = 0; found < count; ++found)
    {
        start = start == 0 ? std::wstring::npos : text.rfind(L'\n', start - 1);
        if (start == std::wstring::npos)
        {
            return text;
        }
    }
    return text.substr(start + 1);
}

struct ReadOptions
{
    std::string file;
    bool rotated = false;
    bool errors = false;
    std::vector<std::string> markers;
    bool ignoreCase = false;
    bool follow = false;
    std::string lines;
    std::string seconds;
};

size_t LineCount(const ReadOptions& options)
{
    unsigned long long count = 0;
    if (options.lines.empty())
    {
        return options.follow ? kFollowedLines : kAllLines;
    }
    if (Lower(options.lines) == L"all")
    {
        return kAllLines;
    }
    if (!ParseNumber(Wide(options.lines), count))
    {
        RejectValue(L"--lines needs a number of lines, or all");
    }
    return static_cast<size_t>(count);
}

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
    const size_t lines = LineCount(options);
    unsigned long long seconds = 0;
    const bool timed = !options.seconds.empty();
    if (timed && !ParseNumber(Wide(options.seconds), seconds))
    {
        RejectValue(L"--seconds needs a number of seconds");
    }
    const std::wstring path = Wide(options.file);
    CLineFilter filter(markers, options.ignoreCase);

    std::wstring shown;
    std::wstring text;
    if (options.rotated)
    {
        const DWORD error = CTraceReader(path + L".txt").Poll(text);
        if (error == ERROR_SUCCESS)
        {
            shown = filter.Take(text);
        }
        else if (error != ERROR_FILE_NOT_FOUND)
        {
            err << L"Cannot read " << path << L".txt: " << ErrorText(error) << L"\r\n";
        }
    }
    CTraceReader reader(path);
    const DWORD error = reader.Poll(text);
    if (error != ERROR_SUCCESS && !(options.follow && error == ERROR_FILE_NOT_FOUND))
    {
        err << L"Cannot read " << path << L": " << ErrorText(error) << L"\r\n";
        return kExitFailed;
    }
    shown += filter.Take(text) + (options.follow ? L"" : filter.Finish());
    out.Write(LastLines(shown, lines));
    // Followed until the time is up, or whoever reads the output has closed it.
    const ULONGLONG end = GetTickCount64() + seconds * 1000;
    while (options.follow && (!timed || GetTickCount64() < end) && !out.IsClosed())
    {
        Sleep(kPollMs);
        // A file missing for a moment (between rotation's delete and rename) is waited for.
        if (reader.Poll(text) == ERROR_SUCCESS)
        {
            out.Write(filter.Take(text));
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
    read.add_option("FILE", options->file, "The trace file")->type_name("")->required();
    read.add_flag("--rotated", options->rotated, "First the older file FILE.txt that rotation left");
    read.add_flag("--errors", options->errors, "Only lines with ERROR, FATAL or WARNING");
    read.add_option("--find", options->markers, "Only lines with TEXT (repeat or separate by commas)")
        ->delimiter(',')
        ->allow_extra_args(false);
    read.add_flag("--ignore-case", options->ignoreCase, "--find and --errors match in any case");
    read.add_option("--lines", options->lines,
                    "Start at the last N lines (all: the whole file). Default: 10 with --follow, else all")
        ->type_name("N|all");
    CLI::Option* follow = read.add_flag(
        "--follow", options->follow, "Keep printing what is written, until Ctrl+C or the output is closed");
    read.add_option("--seconds", options->seconds, "With --follow: stop after N seconds")
        ->type_name("N")
        ->needs(follow);
    read.callback([options, &streams] { streams.exitCode = Read(*options, streams.out, streams.err); });
}
