#include "CReport.h"
#include "util/StringFormat.h"

namespace
{
std::wstring JsonString(const std::wstring& text)
{
    std::wstring out = L"\"";
    for (const wchar_t c : text)
    {
        if (c == L'"' || c == L'\\')
        {
            out += L'\\';
            out += c;
        }
        else if (c < 0x20)
        {
            std::wstring escaped;
            FormatString(escaped, L"\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        }
        else
        {
            out += c;
        }
    }
    return out + L"\"";
}
} // namespace

CReport& CReport::Add(const std::wstring& key, Kind kind, const std::wstring& value)
{
    m_children.emplace_back();
    CReport& child = m_children.back();
    child.m_key = key;
    child.m_kind = kind;
    child.m_value = value;
    return child;
}

CReport& CReport::Object(const std::wstring& key)
{
    return Add(key, Kind::Object, L"");
}

CReport& CReport::Array(const std::wstring& key)
{
    return Add(key, Kind::Array, L"");
}

CReport& CReport::Set(const std::wstring& key, const std::wstring& text)
{
    Add(key, Kind::String, text);
    return *this;
}

CReport& CReport::Set(const std::wstring& key, ULONGLONG number)
{
    Add(key, Kind::Number, std::to_wstring(number));
    return *this;
}

CReport& CReport::Set(const std::wstring& key, bool value)
{
    Add(key, Kind::Bool, value ? L"true" : L"false");
    return *this;
}

CReport& CReport::Item()
{
    return Add(L"", Kind::Object, L"");
}

std::wstring CReport::Text() const
{
    std::wstring out;
    for (const CReport& child : m_children)
    {
        child.WriteText(out, 0);
    }
    return out;
}

void CReport::WriteText(std::wstring& out, size_t indent) const
{
    const std::wstring margin(indent, L' ');
    switch (m_kind)
    {
    case Kind::String:
    case Kind::Number:
        out += margin + m_key + L": " + m_value + L"\r\n";
        return;
    case Kind::Bool:
        out += margin + m_key + L": " + (m_value == L"true" ? L"yes" : L"no") + L"\r\n";
        return;
    case Kind::Array:
        out += margin + m_key + (m_children.empty() ? L": (none)\r\n" : L":\r\n");
        for (const CReport& item : m_children)
        {
            // Each item's first member follows the dash; the rest line up under it.
            std::wstring body;
            for (const CReport& member : item.m_children)
            {
                member.WriteText(body, indent + 4);
            }
            out += body.empty() ? margin + L"  -\r\n" : margin + L"  - " + body.substr(indent + 4);
        }
        return;
    case Kind::Object:
        out += margin + m_key + L":\r\n";
        for (const CReport& child : m_children)
        {
            child.WriteText(out, indent + 2);
        }
        return;
    }
}

std::wstring CReport::Json() const
{
    std::wstring out;
    WriteJson(out, 0);
    return out + L"\r\n";
}

void CReport::WriteJson(std::wstring& out, size_t indent) const
{
    switch (m_kind)
    {
    case Kind::String:
        out += JsonString(m_value);
        return;
    case Kind::Number:
    case Kind::Bool:
        out += m_value;
        return;
    case Kind::Array:
    case Kind::Object:
        break;
    }
    const bool isArray = m_kind == Kind::Array;
    out += isArray ? L"[" : L"{";
    const std::wstring margin(indent + 2, L' ');
    bool first = true;
    for (const CReport& child : m_children)
    {
        out += first ? L"\r\n" : L",\r\n";
        first = false;
        out += margin;
        if (!isArray)
        {
            out += JsonString(child.m_key) + L": ";
        }
        child.WriteJson(out, indent + 2);
    }
    if (!first)
    {
        out += L"\r\n" + std::wstring(indent, L' ');
    }
    out += isArray ? L"]" : L"}";
}
