#include "CArguments.h"

CArguments::CArguments(int argc, wchar_t** argv, int first)
{
    for (int i = first; i < argc; ++i)
    {
        m_words.push_back({argv[i], false});
    }
}

std::vector<std::wstring> CArguments::Take(const wchar_t* name, bool wantsValue)
{
    const std::wstring option = std::wstring(L"--") + name;
    std::vector<std::wstring> values;
    for (size_t i = 0; i < m_words.size(); ++i)
    {
        Word& word = m_words[i];
        if (word.used)
        {
            continue;
        }
        if (word.text == option)
        {
            word.used = true;
            if (!wantsValue)
            {
                values.emplace_back();
            }
            else if (i + 1 < m_words.size() && !m_words[i + 1].used)
            {
                m_words[i + 1].used = true;
                values.push_back(m_words[++i].text);
            }
            else
            {
                m_error = option + L" needs a value";
            }
        }
        else if (wantsValue && word.text.compare(0, option.size() + 1, option + L"=") == 0)
        {
            word.used = true;
            values.push_back(word.text.substr(option.size() + 1));
        }
    }
    return values;
}

bool CArguments::Value(const wchar_t* name, std::wstring& value)
{
    const std::vector<std::wstring> values = Take(name, true);
    if (values.empty())
    {
        return false;
    }
    value = values.back();
    return true;
}

std::vector<std::wstring> CArguments::Values(const wchar_t* name)
{
    std::vector<std::wstring> items;
    for (const std::wstring& value : Take(name, true))
    {
        for (size_t start = 0; start <= value.size();)
        {
            size_t comma = value.find(L',', start);
            if (comma == std::wstring::npos)
            {
                comma = value.size();
            }
            if (comma > start)
            {
                items.push_back(value.substr(start, comma - start));
            }
            start = comma + 1;
        }
    }
    return items;
}

bool CArguments::Flag(const wchar_t* name)
{
    return !Take(name, false).empty();
}

std::vector<std::wstring> CArguments::Positionals() const
{
    std::vector<std::wstring> words;
    for (const Word& word : m_words)
    {
        if (!word.used && word.text.compare(0, 2, L"--") != 0)
        {
            words.push_back(word.text);
        }
    }
    return words;
}

std::wstring CArguments::Unknown() const
{
    for (const Word& word : m_words)
    {
        if (!word.used && word.text.compare(0, 2, L"--") == 0)
        {
            return word.text;
        }
    }
    return {};
}
