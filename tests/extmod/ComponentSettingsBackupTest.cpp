#include "extmod/CComponentSettingsBackup.h"
#include "extmod/KvqAgentLocations.h"
#include "support/TestFiles.h"
#include "support/TestRegistry.h"
#include "support/TraceCapture.h"
#include <filesystem>
#include <gtest/gtest.h>

TEST(ComponentSettingsBackup, EachCallLeavesOneFreshCopyBelowTheComponentsTempFolder)
{
    CTestDir dir;
    const std::wstring component = L"EM_TEST" + std::to_wstring(GetCurrentProcessId());
    const std::wstring root = std::filesystem::temp_directory_path().wstring() + component;
    WriteFileBytes(dir / L"CommonConfig.ccs", std::string("first"));
    CreateDirectoryW((dir / L"EM_UPDATE").c_str(), nullptr);
    WriteFileBytes(dir / L"EM_UPDATE\\a.txt", std::string("a"));
    CTraceCapture trace(1);
    for (const char* content : {"first", "second"})
    {
        WriteFileBytes(dir / L"CommonConfig.ccs", std::string(content));
        EXPECT_TRUE(
            CComponentSettingsBackup::BackupFile(component.c_str(), (dir / L"CommonConfig.ccs").c_str()));
        EXPECT_TRUE(
            CComponentSettingsBackup::BackupDirectory(component.c_str(), (dir / L"EM_UPDATE").c_str()));
        const std::vector<BYTE> saved = ReadFileBytes(root + L"\\CommonConfig.ccs");
        EXPECT_EQ(content, std::string(saved.begin(), saved.end()));
        EXPECT_TRUE(ListTree(dir / L"EM_UPDATE") == ListTree(root + L"\\EM_UPDATE"));
        WriteFileBytes(root + L"\\EM_UPDATE\\stale.txt", std::string("old"));
        DeleteFileW((dir / L"EM_UPDATE\\a.txt").c_str());
    }
    EXPECT_FALSE(CComponentSettingsBackup::BackupFile(component.c_str(), (dir / L"missing.ccs").c_str()));
    EXPECT_TRUE(trace.Contains(L"Failed to save component settings file \"missing.ccs\" to \"" + root));
    // A source that holds the backup itself is refused before the clean-up could reach it.
    const std::wstring inner = root + L"\\" + component + L"\\settings.ini";
    CreateDirectoryW((root + L"\\" + component).c_str(), nullptr);
    WriteFileBytes(inner, std::string("keep"));
    EXPECT_FALSE(CComponentSettingsBackup::BackupDirectory(component.c_str(), root.c_str()));
    EXPECT_TRUE(FileExists(inner));
    RemoveTree(root);
    EXPECT_EQ(std::wstring(L"b"), CComponentSettingsBackup::LastPathComponent(L"C:\\a/b"));
    EXPECT_EQ(std::wstring(L"\\x"), CComponentSettingsBackup::LastPathComponent(L"\\x"));
    EXPECT_EQ(std::wstring(L""), CComponentSettingsBackup::LastPathComponent(L"C:\\a\\"));
}

TEST(KvqAgentLocations, TheAgentsKeyOrTheFallbackGivesItsFolders)
{
    const wchar_t* uuid = L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25";
    const struct
    {
        const wchar_t *agentKey, *setupKey, *fileRoot, *expectedRoot, *expectedVar;
    } cases[] = {
        {nullptr, L"SOFTWARE\\Arvetta\\Setup", L"E:\\Agents\\KVQ\\", L"E:\\Agents\\KVQ",
         L"E:\\Agents\\KVQ\\var"},
        {L"SOFTWARE\\ArvettaKvq", L"SOFTWARE\\ArvettaKvq\\Setup", L"C:\\", L"C:\\", L"C:\\\\var"},
        {L"SOFTWARE\\ArvettaKvq", L"SOFTWARE\\ArvettaKvq\\Setup", nullptr, L"", L""},
    };
    for (const auto& row : cases)
    {
        CTestKey uuidKey(uuid), setup(row.setupKey);
        if (row.agentKey)
            uuidKey.SetString(L"KVQAgent", row.agentKey);
        if (row.fileRoot)
            setup.SetString(L"FileRoot", row.fileRoot);
        KvqAgentLocations kvq;
        ReadKvqAgentLocations(kvq);
        EXPECT_EQ(row.setupKey, kvq.setupKey);
        EXPECT_EQ(row.expectedRoot, kvq.fileRoot);
        EXPECT_EQ(row.expectedVar, kvq.varDir);
        DeleteKeyTree(row.agentKey ? row.agentKey : L"SOFTWARE\\Arvetta");
    }
}
