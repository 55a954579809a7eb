#include "extmod/CComponentSettingsBackup.h"
#include "extmod/KvqAgentLocations.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include <filesystem>
#include <gtest/gtest.h>

TEST(ComponentSettingsBackup, ASecondBackupReplacesTheFirstAndNeverReachesItsSource)
{
    CTestDir dir;
    const std::wstring component = L"EM_TEST" + std::to_wstring(GetCurrentProcessId());
    const std::wstring root = std::filesystem::temp_directory_path().wstring() + component;
    CreateDirectoryW((dir / L"EM_UPDATE").c_str(), nullptr);
    for (const char* content : {"first", "second"})
    {
        WriteFileBytes(dir / L"EM_UPDATE\\a.ccs", std::string(content));
        EXPECT_TRUE(
            CComponentSettingsBackup::BackupFile(component.c_str(), (dir / L"EM_UPDATE\\a.ccs").c_str()));
        EXPECT_TRUE(
            CComponentSettingsBackup::BackupDirectory(component.c_str(), (dir / L"EM_UPDATE").c_str()));
        EXPECT_EQ(ReadFileBytes(dir / L"EM_UPDATE\\a.ccs"), ReadFileBytes(root + L"\\a.ccs"));
        EXPECT_TRUE(ListTree(dir / L"EM_UPDATE") == ListTree(root + L"\\EM_UPDATE"))
            << "the stale file is gone";
        WriteFileBytes(root + L"\\EM_UPDATE\\stale.txt", std::string("old"));
    }
    EXPECT_FALSE(CComponentSettingsBackup::BackupFile(component.c_str(), (dir / L"missing.ccs").c_str()));
    // With the source as the component's own temp folder the backup would lie inside it.
    const std::wstring inner = root + L"\\" + component;
    CreateDirectoryW(inner.c_str(), nullptr);
    WriteFileBytes(inner + L"\\keep.ini", std::string("keep"));
    EXPECT_FALSE(CComponentSettingsBackup::BackupDirectory(component.c_str(), root.c_str()));
    EXPECT_TRUE(FileExists(inner + L"\\keep.ini"));
    RemoveTree(root);
    EXPECT_EQ(std::wstring(L"b"), CComponentSettingsBackup::LastPathComponent(L"C:\\a/b"));
    EXPECT_EQ(std::wstring(L"\\x"), CComponentSettingsBackup::LastPathComponent(L"\\x"));
    EXPECT_EQ(std::wstring(L""), CComponentSettingsBackup::LastPathComponent(L"C:\\a\\"));
}

TEST(KvqAgentLocations, TheFallbackKeyAndAMissingFileRoot)
{
    for (const wchar_t* fileRoot : {L"E:\\Agents\\KVQ\\", L"C:\\", static_cast<const wchar_t*>(nullptr)})
    {
        CTestKey setup(L"SOFTWARE\\Arvetta\\Setup"); // no KVQAgent value: the fallback key
        if (fileRoot)
            setup.SetString(L"FileRoot", fileRoot);
        KvqAgentLocations kvq;
        ReadKvqAgentLocations(kvq);
        const std::wstring root = !fileRoot ? L"" : fileRoot[3] ? L"E:\\Agents\\KVQ" : L"C:\\";
        EXPECT_EQ(L"SOFTWARE\\Arvetta\\Setup", kvq.setupKey);
        EXPECT_EQ(root, kvq.fileRoot);
        EXPECT_EQ(root.empty() ? root : root + L"\\var", kvq.varDir);
        DeleteKeyTree(L"SOFTWARE\\Arvetta");
    }
}
