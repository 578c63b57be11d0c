#include "support/ProcessUsage.h"

namespace testsupport {

// The table hands out its lowest free slots first, so open handles sit among the low values.
DWORD CountOpenHandles()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) {
        return count;
    }
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

namespace {

SIZE_T HeapBytesInUse()
{
    SIZE_T total = 0;
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < count && i < 64; ++i) {
        PROCESS_HEAP_ENTRY entry{};
        HeapLock(heaps[i]);
        while (HeapWalk(heaps[i], &entry)) {
            total += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 ? entry.cbData : 0;
        }
        HeapUnlock(heaps[i]);
    }
    return total;
}

} // namespace

SIZE_T CommittedPrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            total += region.RegionSize;
        }
    }
    return total;
}

ProcessUsage MeasureProcessUsage()
{
    return ProcessUsage{CountOpenHandles(), CommittedPrivateBytes(), HeapBytesInUse()};
}

} // namespace testsupport
