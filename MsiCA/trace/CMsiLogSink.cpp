#include "trace/CMsiLogSink.h"
#include "util/CUniqueHandle.h"
#include <msiquery.h>
#include <cwchar>
#include <string>

void CMsiLogSink::Write(const wchar_t* text) const
{
    if (m_install == 0)
    {
        return;
    }
    // The installer formats the message: brackets and braces in the text (time stamps,
    // prefixes, paths) are escaped so that none is taken for a property or a group.
    std::wstring line;
    for (;; ++text)
    {
        if (*text == L'\n' || *text == L'\0')
        {
            if (!line.empty())
            {
                WriteLine(line.c_str());
                line.clear();
            }
            if (*text == L'\0')
            {
                return;
            }
        }
        else if (wcschr(L"[]{}", *text))
        {
            line.append(L"[\\").append(1, *text).append(1, L']');
        }
        else
        {
            line.append(1, *text);
        }
    }
}

void CMsiLogSink::WriteLine(const wchar_t* line) const
{
    CMsiHandle record(MsiCreateRecord(0));
    if (record && MsiRecordSetStringW(record.Get(), 0, line) == ERROR_SUCCESS)
    {
        MsiProcessMessage(m_install, INSTALLMESSAGE_INFO, record.Get());
    }
}
