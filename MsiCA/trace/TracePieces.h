#pragma once
#include <cstddef>

// Splits a trace line into the pieces that the trace files receive: each run of characters
// up to the next line feed (when not empty), and each line feed as "\r\n". Calls
// sink(text, count) for every piece and stops at the first piece the sink refuses.
template <class Sink>
bool ForEachTracePiece(const wchar_t* line, Sink&& sink)
{
    static const wchar_t kLineEnd[] = L"\r\n";
    const wchar_t* run = line;
    for (const wchar_t* p = line;; ++p)
    {
        if (*p != L'\n' && *p != L'\0')
        {
            continue;
        }
        if (p > run && !sink(run, static_cast<size_t>(p - run)))
        {
            return false;
        }
        if (*p == L'\0')
        {
            return true;
        }
        if (!sink(kLineEnd, 2))
        {
            return false;
        }
        run = p + 1;
    }
}
