#pragma once
#include <string>
#include <vector>

// Keeps the lines of a trace that hold any of the markers a user searches for, in their
// order, in any case if asked to. Text arrives in pieces (a followed file grows); a line is judged once its
// line feed has arrived, or at Finish. Without markers every piece passes unchanged.
class CLineFilter
{
  public:
    CLineFilter(std::vector<std::wstring> markers, bool ignoreCase);

    // What of text is to be shown now.
    std::wstring Take(const std::wstring& text);
    // The last line, held back because it could still grow.
    std::wstring Finish();

  private:
    bool Matches(const std::wstring& line) const;

    std::vector<std::wstring> m_markers; // lower case when case is ignored
    bool m_ignoreCase;
    std::wstring m_partial;
};
