#include "CTraceReader.h"
#include "CRingText.h"

namespace
{
constexpr ULONGLONG kMarkBytes = 2;
constexpr int kConfirmAttempts = 5;
} // namespace

CTraceReader::CTraceReader(std::wstring path) : m_path(std::move(path))
{
}

DWORD CTraceReader::Poll(std::wstring& text)
{
    text.clear();
    return m_ring ? PollRing(text) : PollOrdinary(text);
}

void CTraceReader::StartOver()
{
    m_encoding = TraceEncoding::Unknown;
    m_offset = 0;
}

DWORD CTraceReader::PollOrdinary(std::wstring& text)
{
    std::string bytes;
    TraceFileState state;
    DWORD error = ReadFileFrom(m_path, m_offset, bytes, state);
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    if (m_started && (state.id != m_fileId || state.size < m_offset))
    {
        // Rotated: the unread rest now lies in the ".txt" file, the new text in a new file.
        std::string rest;
        TraceFileState rotated;
        if (ReadFileFrom(m_path + L".txt", m_offset, rest, rotated) == ERROR_SUCCESS)
        {
            text = TakeOrdinary(rest);
        }
        StartOver();
        if ((error = ReadFileFrom(m_path, 0, bytes, state)) != ERROR_SUCCESS)
        {
            return error;
        }
    }
    m_started = true;
    m_fileId = state.id;
    text += TakeOrdinary(bytes);
    if (m_ringWhole)
    {
        std::wstring ring;
        error = PollRing(ring);
        text += ring;
    }
    return error;
}

std::wstring CTraceReader::TakeOrdinary(const std::string& bytes)
{
    size_t begin = 0;
    if (m_encoding == TraceEncoding::Unknown)
    {
        m_encoding = EncodingOf(bytes);
        if (m_encoding == TraceEncoding::Unknown)
        {
            return {}; // an empty file: its mark comes with its first line
        }
        begin = m_encoding == TraceEncoding::Wide ? kMarkBytes : 0;
        m_offset += begin;
    }
    size_t count = bytes.size() - begin;
    if (m_encoding == TraceEncoding::Ansi)
    {
        if (count > 0 && IsDBCSLeadByte(static_cast<BYTE>(bytes.back())))
        {
            --count; // its trail byte is still to come
        }
        m_offset += count;
        return DecodeAnsi(bytes.data() + begin, count);
    }
    count &= ~size_t(1);
    std::wstring text = DecodeWide(bytes.data() + begin, count);
    // Zeros or the end marker: a ring file, which is read whole from here on.
    const size_t ringEnd = std::min(text.find(L'\0'), text.find(CRingText::kMarker));
    if (ringEnd != std::wstring::npos)
    {
        m_ring = true;
        if (m_offset == kMarkBytes)
        {
            m_ringWhole = true; // known from the first read: all of it, in time order
            return {};
        }
        m_ringEnd = static_cast<size_t>((m_offset - kMarkBytes) / 2) + ringEnd;
        text.resize(ringEnd);
    }
    m_offset += count;
    return text;
}

DWORD CTraceReader::PollRing(std::wstring& text)
{
    // The writer copies into the ring while it is read: take a reading that a second one
    // confirms, so that no line shows half-written.
    std::string bytes;
    std::string again;
    TraceFileState state;
    DWORD error = ReadFileFrom(m_path, kMarkBytes, bytes, state);
    for (int attempt = 0; attempt < kConfirmAttempts && error == ERROR_SUCCESS; ++attempt)
    {
        error = ReadFileFrom(m_path, kMarkBytes, again, state);
        if (again == bytes)
        {
            break;
        }
        bytes.swap(again);
    }
    if (error != ERROR_SUCCESS)
    {
        return error;
    }
    const CRingText ring(DecodeWide(bytes.data(), bytes.size()));
    text = m_ringWhole ? ring.InTimeOrder() : ring.Since(m_ringEnd);
    m_ringWhole = false;
    m_ringEnd = ring.NewestEnd();
    return ERROR_SUCCESS;
}
