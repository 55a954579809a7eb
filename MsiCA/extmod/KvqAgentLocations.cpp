#include "extmod/KvqAgentLocations.h"
#include "util/PathJoin.h"
#include "util/ProductLocations.h"

namespace
{
const wchar_t kUuidKey[] = L"SYSTEM\\CurrentControlSet\\Control\\UUID\\C3681B60-0D26-11D3-8319-00A0C9B61E25";
const wchar_t kDefaultKvqKey[] = L"SOFTWARE\\Arvetta";
} // namespace

void ReadKvqAgentLocations(KvqAgentLocations& locations)
{
    LocationSource ignored;
    ReadKvqAgentLocations(locations, ignored);
}

void ReadKvqAgentLocations(KvqAgentLocations& locations, LocationSource& keySource)
{
    locations = KvqAgentLocations();
    const bool fromValue = ReadRegistryString(kUuidKey, L"KVQAgent", locations.registryKey);
    if (!fromValue)
    {
        locations.registryKey = kDefaultKvqKey;
    }
    keySource = fromValue ? LocationSource::Value : LocationSource::Fallback;
    locations.setupKey = locations.registryKey + L"\\" + L"Setup";
    if (!ReadRegistryString(locations.setupKey.c_str(), L"FileRoot", locations.fileRoot))
    {
        return;
    }
    StripTrailingBackslash(locations.fileRoot);
    locations.varDir = JoinPath(locations.fileRoot, L"var");
}
