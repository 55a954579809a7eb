#include "TraceFileText.h"
#include "util/CUniqueHandle.h"
#include <algorithm>
#include <cstring>

DWORD ReadFileFrom(const std::wstring& path, ULONGLONG offset, std::string& bytes, TraceFileState& state)
{
    bytes.clear();
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        return GetLastError();
    }
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileSizeEx(file.Get(), &size) || !GetFileInformationByHandle(file.Get(), &information))
    {
        return GetLastError();
    }
    state.size = static_cast<ULONGLONG>(size.QuadPart);
    state.id = (ULONGLONG(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    if (static_cast<ULONGLONG>(size.QuadPart) <= offset)
    {
        return ERROR_SUCCESS;
    }
    LARGE_INTEGER start;
    start.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file.Get(), start, nullptr, FILE_BEGIN))
    {
        return GetLastError();
    }
    bytes.resize(static_cast<size_t>(size.QuadPart - start.QuadPart));
    size_t done = 0;
    while (done < bytes.size())
    {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        if (!ReadFile(file.Get(), bytes.data() + done, want, &read, nullptr))
        {
            return GetLastError();
        }
        if (read == 0)
        {
            break; // cut shorter meanwhile
        }
        done += read;
    }
    bytes.resize(done);
    return ERROR_SUCCESS;
}

TraceEncoding EncodingOf(const std::string& head)
{
    if (head.size() >= 2)
    {
        return head[0] == '\xFF' && head[1] == '\xFE' ? TraceEncoding::Wide : TraceEncoding::Ansi;
    }
    return head.empty() ? TraceEncoding::Unknown : TraceEncoding::Ansi;
}

std::wstring DecodeWide(const char* bytes, size_t size)
{
    std::wstring text(size / 2, L'\0');
    memcpy(text.data(), bytes, text.size() * sizeof(wchar_t));
    return text;
}

std::wstring DecodeAnsi(const char* bytes, size_t size)
{
    std::wstring text;
    for (size_t done = 0; done < size;)
    {
        // Pieces the conversion's int sizes can hold, never ending on a lead byte.
        size_t count = std::min<size_t>(size - done, 1u << 24);
        if (done + count < size && IsDBCSLeadByte(static_cast<BYTE>(bytes[done + count - 1])))
        {
            --count;
        }
        const int length = MultiByteToWideChar(CP_ACP, 0, bytes + done, static_cast<int>(count), nullptr, 0);
        const size_t at = text.size();
        text.resize(at + static_cast<size_t>(length));
        MultiByteToWideChar(CP_ACP, 0, bytes + done, static_cast<int>(count), text.data() + at, length);
        done += count;
    }
    return text;
}
