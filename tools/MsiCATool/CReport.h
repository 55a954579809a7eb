#pragma once
#include <windows.h>
#include <list>
#include <nlohmann/json_fwd.hpp>
#include <string>

// What a command found, as a tree of named values: printed as indented text for a ticket
// or as JSON for a script, from the same content.
class CReport
{
  public:
    CReport() = default;

    // Members of an object node, in the order added.
    CReport& Object(const std::wstring& key);
    CReport& Array(const std::wstring& key);
    CReport& Set(const std::wstring& key, const std::wstring& text);
    CReport& Set(const std::wstring& key, const wchar_t* text) { return Set(key, std::wstring(text)); }
    CReport& Set(const std::wstring& key, ULONGLONG number);
    CReport& Set(const std::wstring& key, bool value);
    // An object item of an array node.
    CReport& Item();

    std::wstring Text() const;
    std::wstring Json() const;

  private:
    enum class Kind
    {
        Object,
        Array,
        String,
        Number,
        Bool
    };
    CReport& Add(const std::wstring& key, Kind kind, const std::wstring& value);
    void WriteText(std::wstring& out, size_t indent) const;
    nlohmann::ordered_json ToJson() const;

    std::wstring m_key;
    Kind m_kind = Kind::Object;
    std::wstring m_value;
    std::list<CReport> m_children; // a list keeps references to members valid
};
