#include <windows.h>

// Nothing to do at attach or detach: every subsystem brings itself up on first use.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
