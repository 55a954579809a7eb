#pragma once
#include "firmware/CDeviceBiosBase.h"
#include <winioctl.h>

// Input of the map request: where and how much physical memory to map.
#pragma pack(push, 1)
struct BiosMapRequest
{
    DWORD addressLow;
    DWORD addressHigh;
    DWORD length;
};
#pragma pack(pop)
static_assert(sizeof(BiosMapRequest) == 12, "the device reads exactly 12 bytes");

// Physical-memory access through the BIOS device: one mapping at a time per object, since
// the device releases the mapping of the handle without being told which.
class CDeviceBios : public CDeviceBiosBase
{
  public:
    // Output: the user-space address of the mapping (8 bytes). Input: BiosMapRequest.
    static constexpr DWORD kMapRequest = CTL_CODE(0x9CD0, 0x82A, METHOD_BUFFERED, FILE_ANY_ACCESS);
    // No input, no output.
    static constexpr DWORD kUnmapRequest = CTL_CODE(0x9CD0, 0x829, METHOD_BUFFERED, FILE_ANY_ACCESS);

    CDeviceBios() = default;
    ~CDeviceBios() override;

    // Releases an existing mapping first. Null on failure, the reason in GetLastError().
    void* MapPhysicalMemory(DWORD high, DWORD low, size_t length) override;
    // Forgets the mapping even when the device refuses to release it.
    bool UnmapPhysicalMemory() override;

    void* MappedAddress() const { return m_mapped; }

  private:
    void* m_mapped = nullptr;
};

static_assert(CDeviceBios::kMapRequest == 0x9CD020A8 && CDeviceBios::kUnmapRequest == 0x9CD020A4,
              "control codes of the board driver's BIOS device");
