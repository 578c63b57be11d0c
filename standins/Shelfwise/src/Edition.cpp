#include "XaloSoftShelf.h"

#include <windows.h>

#include <string>

// Stand-in: the edition comes from FERRYDOCK_IT_VERSION, read at every call, so that a
// test or a demo can switch it without restarting. "1" is the IT edition; any other
// value, an empty one included, is not; absent means the consumer edition.
bool XaloSoftShelf::IsITVersion()
{
    char value[8] = {};
    const DWORD length = GetEnvironmentVariableA("FERRYDOCK_IT_VERSION", value, sizeof(value));
    return length == 1 && value[0] == '1';
}
