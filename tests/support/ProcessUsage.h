// What a process holds, measured in ways that work under Wine as on Windows: Wine answers
// 0 for GetProcessHandleCount and for PrivateUsage.
#pragma once

#include <windows.h>

namespace testsupport {

struct ProcessUsage {
    DWORD handles = 0;       // open handle values in the process's table
    SIZE_T privateBytes = 0; // committed private pages of the address space
    SIZE_T heapBytes = 0;    // bytes in use in every heap of the process
};

ProcessUsage MeasureProcessUsage();
DWORD CountOpenHandles();

// The private-memory part alone: cheap at any heap size, unlike the heap walk.
SIZE_T CommittedPrivateBytes();

} // namespace testsupport
