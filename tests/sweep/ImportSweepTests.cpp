// Every function the library imports from the system and from the suite, made to fail on
// its first call and then on its second while every export family runs: no crash, no hang,
// every caller buffer correct or empty, handles and private bytes flat.
#include "FerrydockUITrans.h"
#include "ServiceProcess.h"
#include "support/DropTargetWindow.h"
#include "support/PeFile.h"
#include "support/ProcessUsage.h"
#include "sweep/FailingImport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <sstream>

using testsupport::FailingImport;
using testsupport::ImportedFunction;

// The thunk forwards every call but the chosen one, whatever the signature.
TEST(FailingImport, FailsOnlyTheChosenCallAndForwardsTheRest)
{
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    {
        FailingImport failing(GetModuleHandleW(nullptr), "kernel32.dll", "GetFileAttributesW", 2,
                              INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED);
        ASSERT_TRUE(failing.active());
        EXPECT_NE(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES);
        SetLastError(0);
        EXPECT_EQ(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_NE(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(failing.calls(), 3);
    }
    EXPECT_NE(GetFileAttributesW(self), INVALID_FILE_ATTRIBUTES) << "the slot is restored";

    // Seven arguments: the stack-passed ones reach the original untouched.
    FailingImport failing(GetModuleHandleW(nullptr), "kernel32.dll", "WideCharToMultiByte", 1, 0,
                          ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(failing.active());
    char out[8] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"ab", -1, out, sizeof(out), nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"ab", -1, out, sizeof(out), nullptr, nullptr), 3);
    EXPECT_STREQ(out, "ab");
}

namespace {

// ---- which imports are swept, and how each one fails ----

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return static_cast<char>(tolower(c)); });
    return text;
}
bool Listed(const std::string& names, const std::string& dll)
{
    return (" " + names + " ").find(" " + Lower(dll) + " ") != std::string::npos;
}
bool IsSuiteDll(const std::string& dll)
{
    return Listed("jotter.dll pipelink.dll pathkit.dll shelfwise.dll tallyhub.dll beaconry.dll consentry.dll "
                  "probewell.dll", dll);
}
bool IsSystemDll(const std::string& dll)
{
    return Listed("kernel32.dll advapi32.dll user32.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll secur32.dll "
                  "wtsapi32.dll gdi32.dll version.dll", dll) || Lower(dll).rfind("api-ms-win-", 0) == 0;
}

// names: system functions by their exact name, suite members by a part of their mangled name.
bool Matches(const char* names, const ImportedFunction& import)
{
    std::istringstream list(names);
    for (std::string name; list >> name;) {
        if (IsSuiteDll(import.dll) ? import.function.find(name) != std::string::npos : import.function == name) {
            return true;
        }
    }
    return false;
}

// How each import fails: its documented failure value and a plausible last error. An
// exclusion has no failure value to return, and says why.
struct Rule {
    const char* names;
    uint64_t value;
    DWORD lastError;
    const char* exclusion;
};
const Rule kRules[] = {
    {"SetLastError EnterCriticalSection LeaveCriticalSection DeleteCriticalSection InitializeCriticalSection Sleep "
     "ReleaseStgMedium RegisterMessageCallback 3Log 6Report 4Init 5Reset", 0, 0, "returns nothing"},
    {"GetLastError GetCurrentProcess GetCurrentThread GetCurrentProcessId GetCurrentThreadId GetSidLengthRequired",
     0, 0, "cannot fail (a pseudo handle, an id, a size, the last error)"},
    {"GetSidSubAuthority GetSidSubAuthorityCount GetLengthSid", 0, 0, "reads a SID the caller built; no failure value"},
    {"RtlCaptureContext RtlLookupFunctionEntry RtlVirtualUnwind RtlUnwindEx SetUnhandledExceptionFilter TlsGetValue", 0,
     0, "the runtime's unwinding, start-up or thread-local storage; no status"},
    {"C1E C2E D0E D1E D2E", 0, 0, "a constructor or destructor has no failure value"},
    {"GetInstance Instance GetGlobalKdSharePath GetVeltraShareName ByJson IsAgreeClause", 0, 0,
     "returns an object or reference that callers use without a test, by contract"},
    {"CreateFileW CreateNamedPipeW FindFirstFileW", ~0ull /* INVALID_HANDLE_VALUE */, ERROR_ACCESS_DENIED, nullptr},
    {"GetFileAttributesW", INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED, nullptr},
    {"WTSGetActiveConsoleSessionId", 0xFFFFFFFFu, 0, nullptr},
    {"WaitForSingleObject WaitForSingleObjectEx WaitForMultipleObjects", WAIT_FAILED, ERROR_INVALID_HANDLE, nullptr},
    {"SetNamedSecurityInfoW GetNamedSecurityInfoW SetSecurityInfo GetSecurityInfo", ERROR_ACCESS_DENIED,
     ERROR_ACCESS_DENIED, nullptr},
    {"SetEntriesInAclW", ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"GlobalAlloc LocalAlloc HeapAlloc", 0, ERROR_NOT_ENOUGH_MEMORY, nullptr},
    {"WaitNamedPipeW", 0, ERROR_SEM_TIMEOUT, nullptr},
    {"GetAppDataPath", 1, 0, nullptr},
    {"ExcuteQueryImpl", static_cast<uint64_t>(-1), 0, nullptr},
};

Rule RuleFor(const ImportedFunction& import)
{
    for (const Rule& rule : kRules) {
        if (Matches(rule.names, import)) {
            return rule;
        }
    }
    if (Listed("ole32.dll oleaut32.dll shell32.dll shlwapi.dll", import.dll) && import.function != "OleDuplicateData" &&
        import.function != "RegisterClipboardFormatW") {
        return {"", 0x80004005u /* E_FAIL */, ERROR_NOT_ENOUGH_MEMORY, nullptr};
    }
    return {"", 0, ERROR_ACCESS_DENIED, nullptr}; // FALSE, null or a zero count
}

// ---- one run of every export family ----

HMODULE g_dll = nullptr;

// Every name used here is in the export table (checked by the export table test).
template <typename Fn>
Fn Export(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_dll, name)));
}

std::atomic<int> g_shownFiles{0};
void FERRYDOCK_CALL OnShowFile(const wchar_t*) { ++g_shownFiles; }

BOOL WINAPI Denying(PSECURITY_DESCRIPTOR, HANDLE, DWORD, PGENERIC_MAPPING, PPRIVILEGE_SET, LPDWORD, LPDWORD granted,
                    LPBOOL status)
{
    *granted = 0;
    *status = FALSE;
    return TRUE;
}

struct Outcome {
    std::wstring saveDir, dbDir, user;
    bool terminated = true; // every text ended inside its buffer
    bool delivered = false; // the service's message reached the callback
    std::vector<UINT> dropped;
    bool repairedSameFolders = false;
};

// Into a generous buffer that starts out filled with garbage.
std::wstring TextOf(const char* name, bool& terminated)
{
    std::vector<wchar_t> buffer(1024, L'\xCCCC');
    Export<PFN_GetTextIntoBuffer>(name)(buffer.data(), 1024);
    const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
    terminated = terminated && end != buffer.end();
    return std::wstring(buffer.begin(), end);
}

void RemoveFolderAndParent(const std::wstring& folder)
{
    if (folder.empty() || folder.back() == L'\\') {
        return;
    }
    for (const std::wstring& path : {folder, folder.substr(0, folder.rfind(L'\\'))}) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryW(path.c_str());
    }
}

Outcome RunEveryFamily(service::ServiceProcess& service, testsupport::DropTargetWindow& target, DWORD deliveryWaitMs)
{
    Outcome out;
    // IPC: lifecycle, every notification, one inbound message through the service.
    Export<PFN_RegisterTextCallback>("RegisterWndShowFileCallback")(&OnShowFile);
    Export<PFN_BoolVoid>("InitIPCModule")();
    for (const char* name : {"WndShowFinsh", "SendWindowClose", "SendRecentToMessageUI", "SendDeviceGetToFilesystem",
                             "SendFinishTransferMesseage", "SendToOpenSettingCenter", "SendToOpenUseMachineSkills"}) {
        Export<PFN_VoidVoid>(name)();
    }
    Export<PFN_VoidText>("SendFileInfoAllToFilesystem")(L"{\"name\":\"caf\u00E9\"}");
    Export<PFN_VoidText>("SendArrayNumToFilesystem")(L"3");
    Export<PFN_VoidText>("SendSaveFileToFilesystem")(L"C:\\received\\a.txt");
    const int shownBefore = g_shownFiles;
    service.SendLine("send 0xF00002 68690000");
    const ULONGLONG deadline = GetTickCount64() + deliveryWaitMs;
    while (g_shownFiles == shownBefore && GetTickCount64() < deadline) {
        Sleep(5);
    }
    out.delivered = g_shownFiles != shownBefore;

    // Drag into the test's own target window.
    target.Forget();
    target.PutCursorInside();
    const DragDropParam drag = {L"C:\\a.txt|C:\\b.txt", L"text", nullptr, nullptr, 2, 1, 0, 0};
    Export<PFN_ExecuteDragDrop>("ExecuteDragDrop")(&drag);
    out.dropped = target.offered;

    // The folders are made anew in every run, then asked for again with the access check
    // denying, so that both the creation and the repair run.
    out.saveDir = TextOf("GetSaveFileDir", out.terminated);
    out.dbDir = TextOf("GetSaveDbDir", out.terminated);
    {
        testsupport::ImportPatch deny(g_dll, "advapi32.dll", "AccessCheck", reinterpret_cast<void*>(&Denying));
        const std::wstring repairedSave = TextOf("GetSaveFileDir", out.terminated);
        const std::wstring repairedDb = TextOf("GetSaveDbDir", out.terminated);
        out.repairedSameFolders = repairedSave == out.saveDir && repairedDb == out.dbDir;
    }
    RemoveFolderAndParent(out.saveDir);
    RemoveFolderAndParent(out.dbDir);
    out.user = TextOf("GetCurrentUserName", out.terminated);

    // Reporting and product queries.
    Export<PFN_VoidVoid>("InitFerrydockDataReport")();
    Export<PFN_SendFerrydockDataReport>("SendFerrydockDataReport")(7, L"{\"k\":\"v\"}", 9);
    Export<PFN_BoolVoid>("IsITVersion")();
    Export<PFN_BoolVoid>("IsAgreeClause")();
    Export<PFN_IsSupportFileType>("IsSupportFileType")(L"setup.exe");
    Export<PFN_IsSupportFileType>("IsSupportFileType")(L"notes.txt");
    Export<PFN_BoolVoid>("UninitIPCModule")();
    return out;
}

bool IsSidText(const std::wstring& text) { return text.rfind(L"S-1-", 0) == 0; }

// A folder result is correct, empty, one of the shorter paths a failing step leaves, the
// fallback database folder, or the folder of another SID: when the account name cannot
// be read, the empty name is looked up, and that names a built-in domain.
bool AcceptablePath(const std::wstring& result, const std::wstring& baseline)
{
    const std::wstring productFolder = baseline.substr(0, baseline.rfind(L'\\') + 1);
    return result.empty() || baseline.compare(0, result.size(), result) == 0 ||
           result.find(L"\\Dadez\\Brimlet\\Ferrydock\\") != std::wstring::npos ||
           (result.rfind(productFolder, 0) == 0 && IsSidText(result.substr(productFolder.size())));
}

} // namespace

TEST(ImportSweep, EveryImportFailingOnItsFirstThenSecondCall)
{
    // The sweep's folders, reports, log and pipe are its own.
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"ferrydock-sweep";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\appdata").c_str(), nullptr);
    const std::wstring pipe = L"\\\\.\\pipe\\ferrydock-sweep-" + std::to_wstring(GetCurrentProcessId());
    SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", pipe.c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_SHARE_PATH", (root + L"\\share").c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_PATH", (root + L"\\appdata\\").c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_REPORT_FILE", (root + L"\\report.jsonl").c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", (root + L"\\sweep.log").c_str());

    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    service::ServiceProcess service;
    ASSERT_TRUE(service.Start(testsupport::BesideExecutable(L"ferrydock-service.exe"), L"--pipe " + pipe));
    testsupport::DropTargetWindow target;
    ASSERT_TRUE(target.ready()) << "no drop target window (is an X display set?)";
    g_dll = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(g_dll, nullptr);
    Export<PFN_BoolVoid>("InitIPCModule")();
    ASSERT_TRUE(service.WaitForLine("connected 15728640", 1, 20000)) << "the bridge's client did not reach the service";

    // The healthy run fixes what correct looks like, and warms every lazy allocation.
    const Outcome baseline = RunEveryFamily(service, target, 10000);
    ASSERT_TRUE(baseline.delivered) << "the inbound message did not reach the callback";
    ASSERT_FALSE(baseline.saveDir.empty() || baseline.dbDir.empty());
    ASSERT_TRUE(IsSidText(baseline.user));
    ASSERT_FALSE(baseline.dropped.empty()) << "the drag did not reach the test target";
    ASSERT_TRUE(baseline.repairedSameFolders);
    RunEveryFamily(service, target, 10000);
    const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();

    // The C and C++ runtimes' imports are not swept.
    std::vector<ImportedFunction> swept;
    std::vector<std::pair<ImportedFunction, const char*>> excluded;
    std::set<std::string> runtimeDlls;
    const auto imports = testsupport::ListImports(g_dll);
    for (const ImportedFunction& import : imports) {
        if (!IsSystemDll(import.dll) && !IsSuiteDll(import.dll)) {
            runtimeDlls.insert(import.dll);
        } else if (const char* reason = RuleFor(import).exclusion) {
            excluded.emplace_back(import, reason);
        } else {
            swept.push_back(import);
        }
    }

    int reached = 0;
    std::string notReached;
    for (const ImportedFunction& import : swept) {
        const Rule failure = RuleFor(import);
        bool hit = false;
        for (const long long failAt : {1LL, 2LL}) {
            const std::string where = import.dll + "!" + import.function + " failing on call " + std::to_string(failAt);
            std::fprintf(stderr, "sweep: %s\n", where.c_str()); // first, so that a crash names its cause
            std::fflush(stderr);
            Outcome out;
            {
                FailingImport failing(g_dll, import.dll.c_str(), import.function.c_str(), failAt, failure.value,
                                      failure.lastError);
                ASSERT_TRUE(failing.active()) << where;
                out = RunEveryFamily(service, target, 300);
                hit = hit || failing.calls() >= failAt;
            }
            EXPECT_TRUE(out.terminated) << where;
            EXPECT_TRUE(AcceptablePath(out.saveDir, baseline.saveDir)) << where << testing::PrintToString(out.saveDir);
            EXPECT_TRUE(AcceptablePath(out.dbDir, baseline.dbDir)) << where << testing::PrintToString(out.dbDir);
            EXPECT_TRUE(out.user.empty() || IsSidText(out.user)) << where << testing::PrintToString(out.user);
        }
        reached += hit ? 1 : 0;
        notReached += hit ? "" : " " + import.dll + "!" + import.function;
    }

    // With nothing patched any more, everything works as before.
    RunEveryFamily(service, target, 10000);
    const Outcome recovered = RunEveryFamily(service, target, 10000);
    EXPECT_TRUE(recovered.delivered);
    EXPECT_EQ(recovered.saveDir, baseline.saveDir);
    EXPECT_EQ(recovered.dbDir, baseline.dbDir);
    EXPECT_EQ(recovered.user, baseline.user);
    EXPECT_EQ(recovered.dropped, baseline.dropped);
    const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();

    std::printf("imports found: %zu, from the system and the suite: %zu; runtime, not swept:", imports.size(),
                swept.size() + excluded.size());
    for (const std::string& dll : runtimeDlls) {
        std::printf(" %s", dll.c_str());
    }
    std::printf("\nswept: %zu imports, %zu failure points, %d imports called during the sweep\n"
                "not called by any export during the sweep:%s\nexcluded: %zu\n",
                swept.size(), 2 * swept.size(), reached, notReached.c_str(), excluded.size());
    for (const auto& [import, reason] : excluded) {
        std::printf("  %s!%s: %s\n", import.dll.c_str(), import.function.c_str(), reason);
    }
    std::printf("open handles %lu -> %lu, committed private memory %zu -> %zu KiB, heap in use %zu -> %zu KiB\n",
                before.handles, after.handles, before.privateBytes / 1024, after.privateBytes / 1024,
                before.heapBytes / 1024, after.heapBytes / 1024);
    // A few handles of Wine's own (window and COM housekeeping), and 4 MiB over some hundreds
    // of full runs: one lost block per run of any payload or path would exceed either.
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.privateBytes, before.privateBytes + 4 * 1024 * 1024);
    EXPECT_LE(after.heapBytes, before.heapBytes + 4 * 1024 * 1024);
    FreeLibrary(g_dll);
    OleUninitialize();
}
