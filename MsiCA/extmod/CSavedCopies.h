#pragma once
#include <windows.h>
#include <functional>
#include <set>
#include <string>
#include <vector>

// The one home of the saved copies that carry the product's data across an upgrade, below
// the temporary directory T. It owns their layout, their marks and their earlier copies, so
// that no saved file is deleted while it may still be needed, and it trusts nothing there
// that another account could have planted or changed (T is writable by every user, the
// actions run as LocalSystem).
//
// For the data folder's copy named N ("Sentrel"):
//   T\N              the copy to restore, where the modules and support look for it
//   T\N.previous     the copy before it, kept until a newer one has been restored completely
//   T\N.partial      a copy being written, never restored from
//   T\N.pending      mark: the copy is not yet restored; lists the files it could not save
//   T\N.source       the data folder that the copy was saved from
//   T\N.restoring    mark: a restore of the copy began
//   T\N.untrusted-K  what was found in one of these places that others could change, moved aside
class CSavedCopies
{
  public:
    // The copies named name below temp (which ends with a backslash).
    CSavedCopies(const std::wstring& temp, const std::wstring& name);

    const std::wstring& CopyPath() const { return m_copy; }

    // Adds files to a copy (the sibling agent's files), given the folder to put them in.
    using AddFiles = std::function<void(const std::wstring& folder)>;
    // Saves the data folder (empty: there is none) and what addFiles adds as the new copy to
    // restore, beside the one before. A copy not yet restored is kept instead, unless the data
    // folder was written to after it was made; a missing or empty data folder never becomes
    // the copy to restore. Every decision leaves a trace line.
    void Save(const std::wstring& data, const AddFiles& addFiles);
    // Copies the copy to restore over data. Files the copy could not save are taken from the
    // copy before it, where data no longer has them. Only a complete restore marks the copy
    // restored and discards what came before. With rollback, a copy already restored is put
    // back all the same (the installation is being undone). False when not complete.
    bool Restore(const std::wstring& data, bool rollback = false);
    // The data folder that the copy to restore was saved from; empty when unknown.
    std::wstring SavedFrom() const;

    // Makes target (a file or folder) a complete new copy: fill writes it beside target, and
    // only once fill succeeded does it take target's place; the old copy stays whole until
    // then. Read-only files never block it.
    static bool ReplaceWhole(const std::wstring& target,
                             const std::function<bool(const std::wstring&)>& fill);
    // A folder of T for saved copies: created with a protected access list, or an existing
    // one checked (and moved aside when others could change it). False when it cannot be used.
    static bool PrepareFolder(const std::wstring& folder);

    // The extension modules whose restore failed, left for the cleanup that runs in another
    // load of the library; an empty list clears them.
    static void RecordFailedRestores(const std::vector<std::wstring>& modules);
    static std::set<std::wstring> FailedRestores();

  private:
    bool SecureAll() const;
    bool DataWrittenSinceCopy(const std::wstring& data) const;
    bool MakeCopyPrevious() const;
    void Commit(const std::wstring& data, const std::vector<std::wstring>& unsaved) const;
    void TakeUnsavedFromPrevious(const std::wstring& data) const;
    void DiscardEarlier() const;

    std::wstring m_temp, m_copy, m_previous, m_partial, m_pending, m_restoring, m_source;
};
