// The exports as the interface calls them: through FerrydockUITrans.dll.
#include "SecurityHooks.h"

#include "FerrydockUITrans.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <cstdio>

using namespace storagetest;

namespace {

struct Library {
    Library() : module(LoadLibraryW(L"FerrydockUITrans.dll")) {}
    ~Library() { FreeLibrary(module); }
    template <typename Fn>
    Fn Get(const char* name) const
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
    HMODULE module;
};

struct Usage {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    SIZE_T heapBytes = 0;
};

// Wine answers 0 for the process's handle count: count the handle values that are
// open instead (the handle table hands out the lowest free slots first).
DWORD OpenHandles()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) {
        return count;
    }
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
        DWORD flags = 0;
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    }
    return count;
}

// Bytes in use in every heap of the process (Wine reports no private bytes).
SIZE_T HeapBytesInUse()
{
    HANDLE heaps[64];
    const DWORD count = GetProcessHeaps(64, heaps);
    SIZE_T total = 0;
    for (DWORD i = 0; i < count && i < 64; ++i) {
        if (!HeapLock(heaps[i])) {
            continue;
        }
        PROCESS_HEAP_ENTRY entry{};
        while (HeapWalk(heaps[i], &entry)) {
            total += (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 ? entry.cbData : 0;
        }
        HeapUnlock(heaps[i]);
    }
    return total;
}

Usage Measure()
{
    Usage usage;
    usage.handles = OpenHandles();
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    usage.privateBytes = counters.PrivateUsage;
    usage.heapBytes = HeapBytesInUse();
    return usage;
}

class StorageExports : public testing::Test {
protected:
    TempTree tree;
    const bool made = MakeFolder(tree / L"share") && MakeFolder(tree / L"appdata");
    ScopedEnv share{L"FERRYDOCK_SHARE_PATH", (tree / L"share").c_str()};
    ScopedEnv appData{L"FERRYDOCK_APPDATA_PATH", (tree / L"appdata").c_str()};
    ScopedEnv result{L"FERRYDOCK_APPDATA_RESULT", nullptr};
    Library dll;
};

} // namespace

BOOL WINAPI DenyingAccessCheck(PSECURITY_DESCRIPTOR, HANDLE, DWORD, PGENERIC_MAPPING, PPRIVILEGE_SET, LPDWORD,
                               LPDWORD granted, LPBOOL status)
{
    *granted = 0;
    *status = FALSE;
    return TRUE;
}

// Every call obtains and releases tokens, SIDs, descriptors, lists and handles; none
// may stay behind. The first calls create the folders and warm up the heaps; a
// denying access check sends every call through the repair as well.
TEST_F(StorageExports, HundredsOfCallsLeaveHandlesAndMemoryFlat)
{
    ASSERT_TRUE(made);
    ASSERT_NE(dll.module, nullptr);
    struct Case {
        const char* name;
        bool repair;
    };
    const Case cases[] = {{"GetSaveFileDir", false}, {"GetSaveDbDir", false}, {"GetCurrentUserName", false},
                          {"GetSaveFileDir", true},  {"GetSaveDbDir", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << (c.repair ? " with repair" : ""));
        const auto call = dll.Get<PFN_GetTextIntoBuffer>(c.name);
        ASSERT_NE(call, nullptr);
        decltype(&::AccessCheck) real = nullptr;
        const auto deny = c.repair ? Patch(dll.module, "advapi32.dll", "AccessCheck", &DenyingAccessCheck, real) : nullptr;
        ASSERT_TRUE(!c.repair || deny->active());
        wchar_t buffer[1024];
        for (int i = 0; i < 20; ++i) {
            call(buffer, 1024);
        }
        const Usage before = Measure();
        for (int i = 0; i < 300; ++i) {
            call(buffer, 1024);
            call(buffer, 8); // the too-small path
        }
        const Usage after = Measure();
        std::printf("%s%s: 600 calls, handles %lu -> %lu, private bytes %zu -> %zu, heap bytes %zu -> %zu\n", c.name,
                    c.repair ? " (repair)" : "", before.handles, after.handles, static_cast<size_t>(before.privateBytes),
                    static_cast<size_t>(after.privateBytes), static_cast<size_t>(before.heapBytes),
                    static_cast<size_t>(after.heapBytes));
        ASSERT_GT(before.handles, 0u);
        EXPECT_LE(after.handles, before.handles + 2);
        // Wine reports no private bytes; the heaps stand for them there.
        EXPECT_LE(after.privateBytes, before.privateBytes + 512 * 1024);
        // 600 calls that each kept even one SID (12+ bytes) would exceed this.
        EXPECT_LE(after.heapBytes, before.heapBytes + 4096);
    }
}

// The same repair as in-process, seen through the library's own import table.
TEST_F(StorageExports, LibraryRepairsADeniedFolder)
{
    ASSERT_TRUE(made);
    const auto getSaveFileDir = dll.Get<PFN_GetTextIntoBuffer>("GetSaveFileDir");
    ASSERT_NE(getSaveFileDir, nullptr);
    wchar_t first[1024];
    getSaveFileDir(first, 1024);
    const std::wstring user = ProcessUserSid();
    EXPECT_EQ(std::wstring(first), tree / L"share\\Ferrydock\\" + user);

    Faults faults;
    faults.accessCheckDenials = {1, 0};
    const SecurityHooks hooks(dll.module, faults);
    ASSERT_TRUE(hooks.active());
    testsupport::LogCapture log;
    wchar_t second[1024];
    getSaveFileDir(second, 1024);
    EXPECT_STREQ(second, first);
    EXPECT_EQ(g_recorded.checks.size(), 2u);
    ASSERT_EQ(g_recorded.written.size(), 3u);
    // The Users grant goes last into whatever list the system reports for the folder.
    const std::wstring& users = g_recorded.written[1].dacl;
    EXPECT_EQ(users.find(L";BU)"), users.size() - 4) << testing::PrintToString(users);
    EXPECT_EQ(users.substr(users.size() - 16), L"(A;OICI;FA;;;BU)");
    EXPECT_EQ(g_recorded.written[2].dacl, L"D:(A;OICI;GA;;;" + user + L")(A;OICI;GA;;;BA)(A;OICI;GA;;;SY)");
    const auto records = log.Records();
    const testsupport::LogRecord expected{
        3, L"DIR_MANAGER_LOG_TAG get file folder access ret: 1, get permission: 2032127"
           L"(FerrydockIpc::DirManager::GetSaveFileDir)"};
    EXPECT_NE(std::find(records.begin(), records.end(), expected), records.end());
}
