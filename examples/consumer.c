/* Minimal C program that links against FerrydockUITrans's import library. */
#include <FerrydockUITrans.h>

#include <stdio.h>

int main(void)
{
    wchar_t sid[256];
    GetCurrentUserName(sid, (int)(sizeof(sid) / sizeof(sid[0])));
    printf("user SID: %ls\n", sid);

    printf("report.txt may be transferred: %s\n", IsSupportFileType(L"report.txt") ? "yes" : "no");
    printf("setup.exe may be transferred: %s\n", IsSupportFileType(L"setup.exe") ? "yes" : "no");

    /* Posting never waits for the service; without one the message stays queued. */
    SendFileInfoAllToFilesystem(L"{\"files\":[]}");
    return sid[0] == L'S' ? 0 : 1;
}
