#pragma once
#include <cstddef>

// Splits a trace line into the pieces that the trace files receive: each run of characters
// up to the next line feed (when not empty), and each line feed as "\r\n". Calls
// sink(text, count) for every piece and stops at the first piece the sink refuses.
template <class Sink>
bool ForEachTracePiece(const wchar_t* line, Sink&& sink)
{
    static const wchar_t kLineEnd[] = L"\r\n";
    for (const wchar_t* run = line;;)
    {
        const wchar_t* end = run;
        while (*end != L'\n' && *end != L'\0')
        {
            ++end;
        }
        if (end > run && !sink(run, static_cast<size_t>(end - run)))
        {
            return false;
        }
        if (*end == L'\0')
        {
            return true;
        }
        if (!sink(kLineEnd, 2))
        {
            return false;
        }
        run = end + 1;
    }
}
