#include "CReport.h"
#include "CommandLine.h"
#include <nlohmann/json.hpp>

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
    return WideLines(ToJson().dump(2) + "\n");
}

nlohmann::ordered_json CReport::ToJson() const
{
    switch (m_kind)
    {
    case Kind::String:
        return Utf8(m_value);
    case Kind::Number:
        return std::stoull(m_value);
    case Kind::Bool:
        return m_value == L"true";
    case Kind::Array:
    case Kind::Object:
        break;
    }
    nlohmann::ordered_json node =
        m_kind == Kind::Array ? nlohmann::ordered_json::array() : nlohmann::ordered_json::object();
    for (const CReport& child : m_children)
    {
        if (m_kind == Kind::Array)
        {
            node.push_back(child.ToJson());
        }
        else
        {
            node[Utf8(child.m_key)] = child.ToJson();
        }
    }
    return node;
}
