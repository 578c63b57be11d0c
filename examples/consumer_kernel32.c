/*
 * The consumer of consumer.c for a toolchain without a C runtime at hand: it uses
 * FerrydockUITrans.dll and kernel32 alone and has its own entry point. Built the
 * Microsoft way, against the Microsoft-style import library:
 *
 *   clang-cl --target=x86_64-pc-windows-msvc /c /GS- /Iinclude consumer_kernel32.c
 *   lld-link /entry:start /subsystem:console /nodefaultlib consumer_kernel32.obj
 *            lib\FerrydockUITrans.lib kernel32.lib
 *
 * (cl and link from Visual Studio take the same options.) Exits with 0 when a SID came back.
 */
#include <FerrydockUITrans.h>

/* The five kernel32 functions used, declared here: the program needs no Windows SDK
 * headers, only the package's own header. */
__declspec(dllimport) void __stdcall ExitProcess(unsigned int exitCode);
__declspec(dllimport) void* __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) int __stdcall WideCharToMultiByte(unsigned int codePage, unsigned long flags,
                                                        const wchar_t* text, int length, char* out,
                                                        int outSize, const char* defaultChar, int* usedDefault);
__declspec(dllimport) int __stdcall lstrlenW(const wchar_t* text);

#define CP_UTF8 65001u
#define STD_OUTPUT_HANDLE ((unsigned long)-11)

/* UTF-8 on standard output, which may be a pipe, where WriteConsoleW would fail. */
static void Print(const wchar_t* text)
{
    char utf8[1024];
    unsigned long written = 0;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, lstrlenW(text), utf8, (int)sizeof(utf8), NULL, NULL);
    if (bytes > 0) {
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8, (unsigned long)bytes, &written, NULL);
    }
}

void __cdecl start(void)
{
    wchar_t sid[256];
    GetCurrentUserName(sid, (int)(sizeof(sid) / sizeof(sid[0])));
    Print(L"user SID: ");
    Print(sid);
    Print(IsSupportFileType(L"setup.exe") ? L"\nsetup.exe may be transferred: yes\n"
                                          : L"\nsetup.exe may be transferred: no\n");
    ExitProcess(sid[0] == L'S' ? 0 : 1);
}
