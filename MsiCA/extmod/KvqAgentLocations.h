#pragma once
#include "util/ProductLocations.h"
#include <string>

// Where the sibling KVQ agent keeps its files, as its own registry entries tell.
struct KvqAgentLocations
{
    std::wstring registryKey; // below HKLM
    std::wstring setupKey;    // registryKey\Setup
    std::wstring fileRoot;    // installation folder without a trailing backslash; empty when unknown
    std::wstring varDir;      // fileRoot\var; empty when fileRoot is unknown
};

void ReadKvqAgentLocations(KvqAgentLocations& locations);
// keySource: whether registryKey came from the UUID key's value or is the default.
void ReadKvqAgentLocations(KvqAgentLocations& locations, LocationSource& keySource);
