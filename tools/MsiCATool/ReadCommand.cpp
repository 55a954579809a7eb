#include "ReadCommand.h"
#include "CLineFilter.h"
#include "CTraceReader.h"
#include "ErrorText.h"

const wchar_t kReadUsage[] =
    L"  read FILE [--rotated] [--errors] [--find TEXT]... [--follow [--seconds N]]\r\n"
    L"      Prints a trace file as text: an ordinary file (UTF-16 or ANSI) as it stands, a ring\r\n"
    L"      file in time order, oldest text first.\r\n"
    L"      --rotated    first the older file FILE.txt that rotation left\r\n"
    L"      --errors     only lines with ERROR, FATAL or WARNING\r\n"
    L"      --find TEXT  only lines with TEXT (case counts; repeat or separate by commas)\r\n"
    L"      --follow     keep printing what is written, until Ctrl+C or N seconds passed\r\n";

namespace
{
constexpr DWORD kPollMs = 250;

void Show(CConsoleOutput& out, CLineFilter& filter, const std::wstring& text)
{
    out.Write(filter.Take(text));
}
} // namespace

int RunReadCommand(CArguments& arguments, CConsoleOutput& out, CConsoleOutput& err)
{
    const bool rotated = arguments.Flag(L"rotated");
    const bool follow = arguments.Flag(L"follow");
    std::vector<std::wstring> markers = arguments.Values(L"find");
    if (arguments.Flag(L"errors"))
    {
        markers.insert(markers.end(), {L"ERROR", L"FATAL", L"WARNING"});
    }
    std::wstring secondsText;
    const bool timed = arguments.Value(L"seconds", secondsText);
    const std::vector<std::wstring> files = arguments.Positionals();
    if (!arguments.Error().empty() || !arguments.Unknown().empty() || files.size() != 1 ||
        (timed && (!follow || secondsText.empty() || secondsText.size() > 9 ||
                   secondsText.find_first_not_of(L"0123456789") != std::wstring::npos)))
    {
        err << L"Usage:\r\n" << kReadUsage;
        return 2;
    }
    const std::wstring& path = files[0];
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
        return 1;
    }
    Show(out, filter, text);
    if (follow)
    {
        const ULONGLONG end = GetTickCount64() + std::stoull(timed ? secondsText : L"0") * 1000;
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
    return 0;
}
