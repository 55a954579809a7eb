#pragma once
#include <cstddef>
#include <cstdint>
#include <emmintrin.h>

// The first line feed or terminator at or after text. Scans eight characters at a time
// with aligned loads, which never cross into a page the string does not touch.
inline const wchar_t* FindLineEnd(const wchar_t* text)
{
    while (reinterpret_cast<uintptr_t>(text) & 15)
    {
        if (*text == L'\n' || *text == L'\0')
        {
            return text;
        }
        ++text;
    }
    const __m128i lineFeeds = _mm_set1_epi16(L'\n');
    const __m128i zeros = _mm_setzero_si128();
    for (;; text += 8)
    {
        const __m128i chunk = _mm_load_si128(reinterpret_cast<const __m128i*>(text));
        const int hits =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(chunk, lineFeeds), _mm_cmpeq_epi16(chunk, zeros)));
        if (hits != 0)
        {
            return text + __builtin_ctz(static_cast<unsigned>(hits)) / 2;
        }
    }
}

// Splits a trace line into the pieces that the trace files receive: each run of characters
// up to the next line feed (when not empty), and each line feed as "\r\n". Calls
// sink(text, count) for every piece and stops at the first piece the sink refuses.
template <class Sink>
bool ForEachTracePiece(const wchar_t* line, Sink&& sink)
{
    static const wchar_t kLineEnd[] = L"\r\n";
    for (const wchar_t* run = line;;)
    {
        const wchar_t* end = FindLineEnd(run);
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
