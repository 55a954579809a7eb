#pragma once
#include <string>
#include <vector>

// The words of one subcommand's command line. Each command takes its options by name
// ("--name value", "--name=value" or a bare "--flag"); what no option took is positional.
class CArguments
{
  public:
    CArguments(int argc, wchar_t** argv, int first);

    // The value of the last "--name"; false when the option is absent or lacks its value.
    bool Value(const wchar_t* name, std::wstring& value);
    // Every value of a repeatable option, each also split at commas.
    std::vector<std::wstring> Values(const wchar_t* name);
    bool Flag(const wchar_t* name);
    // Words that no option took, in order; call after taking every option.
    std::vector<std::wstring> Positionals() const;
    // The first option word no one asked for, or empty.
    std::wstring Unknown() const;
    // A missing option value, reported once options are taken.
    const std::wstring& Error() const { return m_error; }

  private:
    struct Word
    {
        std::wstring text;
        bool used;
    };
    // The values of every "--name" word, marking the words used.
    std::vector<std::wstring> Take(const wchar_t* name, bool wantsValue);

    std::vector<Word> m_words;
    std::wstring m_error;
};
