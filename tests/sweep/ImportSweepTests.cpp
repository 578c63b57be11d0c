// Every function the library imports from the system and from the suite, made to fail
// on its first call and then on its second, while every export family runs: no crash,
// no hang, every caller buffer correct or empty, handles and private bytes flat.
#include "FerrydockUITrans.h"
#include "support/ImportPatch.h"
#include "support/DropTargetWindow.h"
#include "support/ProcessUsage.h"
#include "sweep/FailingImport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

using testsupport::FailingImport;
using testsupport::ImportedFunction;

namespace {

// ---- which imports are swept, and how each one fails ----

bool IsSystemDll(const std::string& dll)
{
    static const char* const names[] = {"kernel32.dll", "advapi32.dll", "user32.dll",   "ole32.dll",
                                        "oleaut32.dll", "shell32.dll",  "shlwapi.dll",  "secur32.dll",
                                        "wtsapi32.dll", "gdi32.dll",    "version.dll"};
    for (const char* name : names) {
        if (_stricmp(dll.c_str(), name) == 0) {
            return true;
        }
    }
    return _strnicmp(dll.c_str(), "api-ms-win-", 11) == 0;
}

bool IsSuiteDll(const std::string& dll)
{
    static const char* const names[] = {"Jotter.dll",  "Pipelink.dll", "Pathkit.dll",   "Shelfwise.dll",
                                        "Tallyhub.dll", "Beaconry.dll", "Consentry.dll", "Probewell.dll"};
    for (const char* name : names) {
        if (_stricmp(dll.c_str(), name) == 0) {
            return true;
        }
    }
    return false;
}

struct Exclusion {
    const char* match; // a system function's name, or a part of a suite member's mangled name
    const char* reason;
};

// Functions with no failure value to return: they return nothing, cannot fail, or hand
// back an object or reference that callers use without a test by contract.
const Exclusion kExclusions[] = {
    {"GetLastError", "reports the thread's last error; has no failure of its own"},
    {"SetLastError", "returns nothing"},
    {"EnterCriticalSection", "returns nothing"},
    {"LeaveCriticalSection", "returns nothing"},
    {"DeleteCriticalSection", "returns nothing"},
    {"InitializeCriticalSection", "returns nothing"},
    {"Sleep", "returns nothing"},
    {"GetCurrentProcess", "a pseudo handle; cannot fail"},
    {"GetCurrentThread", "a pseudo handle; cannot fail"},
    {"GetCurrentProcessId", "cannot fail"},
    {"GetCurrentThreadId", "cannot fail"},
    {"ReleaseStgMedium", "returns nothing"},
    {"GetSidLengthRequired", "computes a size; cannot fail"},
    {"GetSidSubAuthority", "returns a pointer into a SID the caller built; no failure value"},
    {"GetSidSubAuthorityCount", "returns a pointer into a SID the caller built; no failure value"},
    {"GetLengthSid", "reads the length of a SID the caller holds; no failure value"},
    {"RtlCaptureContext", "returns nothing; used by exception unwinding"},
    {"RtlLookupFunctionEntry", "used by exception unwinding only"},
    {"RtlVirtualUnwind", "used by exception unwinding only"},
    {"RtlUnwindEx", "exception unwinding; does not return"},
    {"SetUnhandledExceptionFilter", "runtime start-up only; returns the previous filter, not a status"},
    {"TlsGetValue", "runtime thread-local storage; a null value is a valid answer"},
    {"GetInstance", "the suite's single instance, used without a null test by contract"},
    {"Instance", "the suite's single instance, returned by reference"},
    {"3Log", "the logger returns nothing"},
    {"C1E", "a constructor has no failure value"},
    {"C2E", "a constructor has no failure value"},
    {"D0E", "a destructor has no failure value"},
    {"D1E", "a destructor has no failure value"},
    {"D2E", "a destructor has no failure value"},
    {"RegisterMessageCallback", "returns nothing"},
    {"GetGlobalKdSharePath", "returns the path as an object, no status"},
    {"GetVeltraShareName", "returns a share name value, no status"},
    {"ByJson", "returns the event record as an object, no status"},
    {"6Report", "returns nothing"},
    {"4Init", "returns nothing"},
    {"IsAgreeClause", "returns the answer as an object, no status"},
    {"5Reset", "returns nothing"},
};

const Exclusion* FindExclusion(const ImportedFunction& import)
{
    for (const Exclusion& exclusion : kExclusions) {
        const bool suite = IsSuiteDll(import.dll);
        if ((suite && import.function.find(exclusion.match) != std::string::npos) ||
            (!suite && import.function == exclusion.match)) {
            return &exclusion;
        }
    }
    return nullptr;
}

struct Failure {
    uint64_t value;
    DWORD lastError;
};

constexpr uint64_t kInvalidHandle = ~0ull;
constexpr uint64_t kEFail = 0x80004005u;

Failure FailureFor(const ImportedFunction& import)
{
    const std::string& f = import.function;
    struct Rule {
        const char* name;
        Failure failure;
    };
    static const Rule rules[] = {
        {"CreateFileW", {kInvalidHandle, ERROR_ACCESS_DENIED}},
        {"CreateNamedPipeW", {kInvalidHandle, ERROR_ACCESS_DENIED}},
        {"FindFirstFileW", {kInvalidHandle, ERROR_ACCESS_DENIED}},
        {"GetFileAttributesW", {INVALID_FILE_ATTRIBUTES, ERROR_ACCESS_DENIED}},
        {"WTSGetActiveConsoleSessionId", {0xFFFFFFFFu, 0}},
        {"WaitForSingleObject", {WAIT_FAILED, ERROR_INVALID_HANDLE}},
        {"WaitForSingleObjectEx", {WAIT_FAILED, ERROR_INVALID_HANDLE}},
        {"WaitForMultipleObjects", {WAIT_FAILED, ERROR_INVALID_HANDLE}},
        {"SetNamedSecurityInfoW", {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}},
        {"GetNamedSecurityInfoW", {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}},
        {"SetSecurityInfo", {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}},
        {"GetSecurityInfo", {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}},
        {"SetEntriesInAclW", {ERROR_NOT_ENOUGH_MEMORY, ERROR_NOT_ENOUGH_MEMORY}},
        {"GlobalAlloc", {0, ERROR_NOT_ENOUGH_MEMORY}},
        {"LocalAlloc", {0, ERROR_NOT_ENOUGH_MEMORY}},
        {"HeapAlloc", {0, ERROR_NOT_ENOUGH_MEMORY}},
        {"WaitNamedPipeW", {0, ERROR_SEM_TIMEOUT}},
        {"GetAppDataPath", {1, 0}},
        {"ExcuteQueryImpl", {static_cast<uint64_t>(-1), 0}},
    };
    for (const Rule& rule : rules) {
        if (IsSuiteDll(import.dll) ? f.find(rule.name) != std::string::npos : f == rule.name) {
            return rule.failure;
        }
    }
    // COM and shell functions report an HRESULT.
    if (_stricmp(import.dll.c_str(), "ole32.dll") == 0 || _stricmp(import.dll.c_str(), "oleaut32.dll") == 0 ||
        _stricmp(import.dll.c_str(), "shell32.dll") == 0 || _stricmp(import.dll.c_str(), "shlwapi.dll") == 0) {
        if (f != "OleDuplicateData" && f != "RegisterClipboardFormatW") {
            return {kEFail, ERROR_NOT_ENOUGH_MEMORY};
        }
    }
    // Everything else reports failure as FALSE, null or a zero count, with a last error.
    return {0, ERROR_ACCESS_DENIED};
}

// ---- the stand-in service at the other end of a private pipe ----

class Service {
public:
    explicit Service(const std::wstring& pipe)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE childIn = nullptr;
        HANDLE childOut = nullptr;
        if (!CreatePipe(&childIn, &input_, &inherit, 0) || !CreatePipe(&output_, &childOut, &inherit, 0)) {
            return;
        }
        SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        std::wstring command = L"ferrydock-service.exe --pipe " + pipe;
        PROCESS_INFORMATION process = {};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            process_ = process.hProcess;
            CloseHandle(process.hThread);
        }
        CloseHandle(childIn);
        CloseHandle(childOut);
        // The service reports every connection on its output; a reader keeps that pipe
        // drained so that the service never blocks on it.
        reader_ = std::thread([this] { ReadOutput(); });
        ready_ = process_ != nullptr && WaitForText("ready");
    }
    ~Service()
    {
        Command("quit");
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, 5000) != WAIT_OBJECT_0) {
                TerminateProcess(process_, 1);
            }
            CloseHandle(process_);
        }
        if (input_ != nullptr) {
            CloseHandle(input_);
        }
        if (reader_.joinable()) {
            reader_.join();
        }
        if (output_ != nullptr) {
            CloseHandle(output_);
        }
    }
    bool ready() const { return ready_; }

    // Waits until the service's output, from the start, holds text.
    bool WaitForText(const char* text)
    {
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (GetTickCount64() < deadline) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (seen_.find(text) != std::string::npos) {
                    return true;
                }
            }
            Sleep(10);
        }
        return false;
    }
    void Command(const std::string& line)
    {
        if (input_ == nullptr) {
            return;
        }
        const std::string text = line + "\n";
        DWORD written = 0;
        WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

private:
    void ReadOutput()
    {
        char buffer[512];
        DWORD read = 0;
        while (ReadFile(output_, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.append(buffer, read);
        }
    }
    HANDLE process_ = nullptr;
    HANDLE input_ = nullptr;
    HANDLE output_ = nullptr;
    bool ready_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::string seen_;
};

// ---- one run of every export family ----

struct Api {
    HMODULE module = nullptr;
#define SWEEP_EXPORT(type, name) type name = nullptr;
    SWEEP_EXPORT(PFN_BoolVoid, InitIPCModule)
    SWEEP_EXPORT(PFN_BoolVoid, UninitIPCModule)
    SWEEP_EXPORT(PFN_VoidVoid, WndShowFinsh)
    SWEEP_EXPORT(PFN_VoidVoid, SendWindowClose)
    SWEEP_EXPORT(PFN_VoidVoid, SendRecentToMessageUI)
    SWEEP_EXPORT(PFN_VoidVoid, SendDeviceGetToFilesystem)
    SWEEP_EXPORT(PFN_VoidVoid, SendFinishTransferMesseage)
    SWEEP_EXPORT(PFN_VoidText, SendFileInfoAllToFilesystem)
    SWEEP_EXPORT(PFN_VoidText, SendArrayNumToFilesystem)
    SWEEP_EXPORT(PFN_VoidText, SendSaveFileToFilesystem)
    SWEEP_EXPORT(PFN_VoidVoid, SendToOpenSettingCenter)
    SWEEP_EXPORT(PFN_VoidVoid, SendToOpenUseMachineSkills)
    SWEEP_EXPORT(PFN_RegisterTextCallback, RegisterWndShowFileCallback)
    SWEEP_EXPORT(PFN_ExecuteDragDrop, ExecuteDragDrop)
    SWEEP_EXPORT(PFN_IsSupportFileType, IsSupportFileType)
    SWEEP_EXPORT(PFN_GetTextIntoBuffer, GetSaveFileDir)
    SWEEP_EXPORT(PFN_GetTextIntoBuffer, GetSaveDbDir)
    SWEEP_EXPORT(PFN_GetTextIntoBuffer, GetCurrentUserName)
    SWEEP_EXPORT(PFN_VoidVoid, InitFerrydockDataReport)
    SWEEP_EXPORT(PFN_SendFerrydockDataReport, SendFerrydockDataReport)
    SWEEP_EXPORT(PFN_BoolVoid, IsITVersion)
    SWEEP_EXPORT(PFN_BoolVoid, IsAgreeClause)
#undef SWEEP_EXPORT
};

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& fn)
{
    fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

std::atomic<int> g_shownFiles{0};
void FERRYDOCK_CALL OnShowFile(const wchar_t*) { ++g_shownFiles; }

struct Outcome {
    std::wstring saveDir;
    std::wstring dbDir;
    std::wstring user;
    bool bufferTerminated = true;
    bool delivered = false;
    std::vector<UINT> dropped;
    bool repairedSameFolders = false;
};

BOOL WINAPI Denying(PSECURITY_DESCRIPTOR, HANDLE, DWORD, PGENERIC_MAPPING, PPRIVILEGE_SET, LPDWORD, LPDWORD granted,
                    LPBOOL status)
{
    *granted = 0;
    *status = FALSE;
    return TRUE;
}

void RemoveFolderAndParent(const std::wstring& folder)
{
    if (folder.empty() || folder.back() == L'\\') {
        return;
    }
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(folder.c_str());
    const std::wstring parent = folder.substr(0, folder.rfind(L'\\'));
    SetFileAttributesW(parent.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(parent.c_str());
}

constexpr int kCapacity = 1024;

std::wstring CallIntoBuffer(PFN_GetTextIntoBuffer fn, bool& terminated)
{
    std::vector<wchar_t> buffer(kCapacity, L'\xCCCC');
    fn(buffer.data(), kCapacity);
    const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
    terminated = terminated && end != buffer.end();
    return std::wstring(buffer.begin(), end);
}

Outcome RunEveryFamily(Api& api, Service& service, testsupport::DropTargetWindow& target, DWORD deliveryWaitMs)
{
    Outcome outcome;
    // IPC: lifecycle, every notification, one inbound message through the service.
    api.RegisterWndShowFileCallback(&OnShowFile);
    api.InitIPCModule();
    api.WndShowFinsh();
    api.SendWindowClose();
    api.SendRecentToMessageUI();
    api.SendDeviceGetToFilesystem();
    api.SendFinishTransferMesseage();
    api.SendFileInfoAllToFilesystem(L"{\"name\":\"caf\u00E9\"}");
    api.SendArrayNumToFilesystem(L"3");
    api.SendSaveFileToFilesystem(L"C:\\received\\a.txt");
    api.SendToOpenSettingCenter();
    api.SendToOpenUseMachineSkills();
    const int shownBefore = g_shownFiles;
    service.Command("send 0xF00002 68690000");
    const ULONGLONG deadline = GetTickCount64() + deliveryWaitMs;
    while (g_shownFiles == shownBefore && GetTickCount64() < deadline) {
        Sleep(5);
    }
    outcome.delivered = g_shownFiles != shownBefore;

    // Drag into the test's own target window.
    target.Forget();
    target.PutCursorInside();
    const DragDropParam drag = {L"C:\\a.txt|C:\\b.txt", L"text", nullptr, nullptr, 2, 1, 0, 0};
    api.ExecuteDragDrop(&drag);
    outcome.dropped = target.offered;

    // Folders and user, into generous buffers that start out filled with garbage. The
    // folders are made anew in every run, then checked once more with the access check
    // denying, so that the creation and the repair both run.
    outcome.saveDir = CallIntoBuffer(api.GetSaveFileDir, outcome.bufferTerminated);
    outcome.dbDir = CallIntoBuffer(api.GetSaveDbDir, outcome.bufferTerminated);
    {
        testsupport::ImportPatch deny(api.module, "advapi32.dll", "AccessCheck", reinterpret_cast<void*>(&Denying));
        const std::wstring repairedSave = CallIntoBuffer(api.GetSaveFileDir, outcome.bufferTerminated);
        const std::wstring repairedDb = CallIntoBuffer(api.GetSaveDbDir, outcome.bufferTerminated);
        outcome.repairedSameFolders = repairedSave == outcome.saveDir && repairedDb == outcome.dbDir;
    }
    RemoveFolderAndParent(outcome.saveDir);
    RemoveFolderAndParent(outcome.dbDir);
    outcome.user = CallIntoBuffer(api.GetCurrentUserName, outcome.bufferTerminated);

    // Reporting and product queries.
    api.InitFerrydockDataReport();
    api.SendFerrydockDataReport(7, L"{\"k\":\"v\"}", 9);
    api.IsITVersion();
    api.IsAgreeClause();
    api.IsSupportFileType(L"setup.exe");
    api.IsSupportFileType(L"notes.txt");
    api.UninitIPCModule();
    return outcome;
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

std::wstring TempFolder(const wchar_t* leaf)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + leaf;
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

} // namespace

TEST(ImportSweep, EveryImportFailingOnItsFirstThenSecondCall)
{
    // Keep the sweep's folders, reports and log apart from everything else.
    const std::wstring root = TempFolder(L"ferrydock-sweep");
    const std::wstring share = root + L"\\share";
    const std::wstring appData = root + L"\\appdata\\";
    CreateDirectoryW((root + L"\\appdata").c_str(), nullptr);
    const std::wstring pipe = L"\\\\.\\pipe\\ferrydock-sweep-" + std::to_wstring(GetCurrentProcessId());
    SetEnvironmentVariableW(L"FERRYDOCK_PIPE_NAME", pipe.c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_SHARE_PATH", share.c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_APPDATA_PATH", appData.c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_REPORT_FILE", (root + L"\\report.jsonl").c_str());
    SetEnvironmentVariableW(L"FERRYDOCK_LOG_FILE", (root + L"\\sweep.log").c_str());

    ASSERT_EQ(OleInitialize(nullptr), S_OK);
    Service service(pipe);
    ASSERT_TRUE(service.ready()) << "ferrydock-service.exe did not start";
    testsupport::DropTargetWindow target;
    ASSERT_TRUE(target.ready()) << "no drop target window (is an X display set?)";

    Api api;
    api.module = LoadLibraryW(L"FerrydockUITrans.dll");
    ASSERT_NE(api.module, nullptr);
#define SWEEP_RESOLVE(name)                        \
    Resolve(api.module, #name, api.name);          \
    ASSERT_NE(api.name, nullptr) << #name;
    SWEEP_RESOLVE(InitIPCModule)
    SWEEP_RESOLVE(UninitIPCModule)
    SWEEP_RESOLVE(WndShowFinsh)
    SWEEP_RESOLVE(SendWindowClose)
    SWEEP_RESOLVE(SendRecentToMessageUI)
    SWEEP_RESOLVE(SendDeviceGetToFilesystem)
    SWEEP_RESOLVE(SendFinishTransferMesseage)
    SWEEP_RESOLVE(SendFileInfoAllToFilesystem)
    SWEEP_RESOLVE(SendArrayNumToFilesystem)
    SWEEP_RESOLVE(SendSaveFileToFilesystem)
    SWEEP_RESOLVE(SendToOpenSettingCenter)
    SWEEP_RESOLVE(SendToOpenUseMachineSkills)
    SWEEP_RESOLVE(RegisterWndShowFileCallback)
    SWEEP_RESOLVE(ExecuteDragDrop)
    SWEEP_RESOLVE(IsSupportFileType)
    SWEEP_RESOLVE(GetSaveFileDir)
    SWEEP_RESOLVE(GetSaveDbDir)
    SWEEP_RESOLVE(GetCurrentUserName)
    SWEEP_RESOLVE(InitFerrydockDataReport)
    SWEEP_RESOLVE(SendFerrydockDataReport)
    SWEEP_RESOLVE(IsITVersion)
    SWEEP_RESOLVE(IsAgreeClause)
#undef SWEEP_RESOLVE

    api.InitIPCModule();
    ASSERT_TRUE(service.WaitForText("connected")) << "the bridge's client did not reach the service";

    // The healthy run fixes what correct looks like, and warms every lazy allocation.
    const Outcome baseline = RunEveryFamily(api, service, target, 10000);
    ASSERT_TRUE(baseline.delivered) << "the inbound message did not reach the callback";
    ASSERT_FALSE(baseline.saveDir.empty());
    ASSERT_FALSE(baseline.dbDir.empty());
    ASSERT_EQ(baseline.user.rfind(L"S-1-", 0), 0u);
    ASSERT_FALSE(baseline.dropped.empty()) << "the drag did not reach the test target";
    ASSERT_TRUE(baseline.repairedSameFolders);
    RunEveryFamily(api, service, target, 10000);
    const testsupport::ProcessUsage before = testsupport::MeasureProcessUsage();

    std::vector<ImportedFunction> swept;
    std::vector<std::pair<ImportedFunction, const Exclusion*>> excluded;
    std::set<std::string> runtimeDlls;
    const auto imports = testsupport::ListImports(api.module);
    for (const ImportedFunction& import : imports) {
        if (!IsSystemDll(import.dll) && !IsSuiteDll(import.dll)) {
            runtimeDlls.insert(import.dll);
        } else if (const Exclusion* exclusion = FindExclusion(import)) {
            excluded.emplace_back(import, exclusion);
        } else {
            swept.push_back(import);
        }
    }

    int failurePoints = 0;
    int reached = 0;
    std::vector<std::string> notReached;
    for (const ImportedFunction& import : swept) {
        const Failure failure = FailureFor(import);
        bool hit = false;
        for (const long long failAt : {1LL, 2LL}) {
            // Names the case on stderr first, so that a crash points at its cause.
            std::fprintf(stderr, "sweep: %s!%s failing on call %lld\n", import.dll.c_str(), import.function.c_str(),
                         failAt);
            std::fflush(stderr);
            Outcome outcome;
            {
                FailingImport failing(api.module, import.dll.c_str(), import.function.c_str(), failAt, failure.value,
                                      failure.lastError);
                ASSERT_TRUE(failing.active()) << import.dll << "!" << import.function;
                outcome = RunEveryFamily(api, service, target, 300);
                hit = hit || failing.calls() >= failAt;
            }
            ++failurePoints;
            const std::string where = import.dll + "!" + import.function + " failing on call " + std::to_string(failAt);
            EXPECT_TRUE(outcome.bufferTerminated) << where;
            EXPECT_TRUE(AcceptablePath(outcome.saveDir, baseline.saveDir))
                << where << ": " << testing::PrintToString(outcome.saveDir);
            EXPECT_TRUE(AcceptablePath(outcome.dbDir, baseline.dbDir))
                << where << ": " << testing::PrintToString(outcome.dbDir);
            EXPECT_TRUE(outcome.user.empty() || IsSidText(outcome.user))
                << where << ": " << testing::PrintToString(outcome.user);
        }
        reached += hit ? 1 : 0;
        if (!hit) {
            notReached.push_back(import.dll + "!" + import.function);
        }
    }

    // With nothing patched any more, everything works as before.
    RunEveryFamily(api, service, target, 10000);
    const Outcome recovered = RunEveryFamily(api, service, target, 10000);
    EXPECT_TRUE(recovered.delivered);
    EXPECT_EQ(recovered.saveDir, baseline.saveDir);
    EXPECT_EQ(recovered.dbDir, baseline.dbDir);
    EXPECT_EQ(recovered.user, baseline.user);
    EXPECT_EQ(recovered.dropped, baseline.dropped);
    const testsupport::ProcessUsage after = testsupport::MeasureProcessUsage();

    std::printf("imports found: %zu (system and suite: %zu; runtime, not swept:", imports.size(),
                swept.size() + excluded.size());
    for (const std::string& dll : runtimeDlls) {
        std::printf(" %s", dll.c_str());
    }
    std::printf(")\nswept: %zu imports, %d failure points, %d imports called during the sweep\n", swept.size(),
                failurePoints, reached);
    std::printf("not called by any export during the sweep:");
    for (const std::string& name : notReached) {
        std::printf(" %s", name.c_str());
    }
    std::printf("\nexcluded: %zu\n", excluded.size());
    for (const auto& [import, exclusion] : excluded) {
        std::printf("  %s!%s: %s\n", import.dll.c_str(), import.function.c_str(), exclusion->reason);
    }
    std::printf("open handles %lu -> %lu, committed private memory %zu -> %zu KiB, heap in use %zu -> %zu KiB\n",
                before.handles, after.handles, before.privateBytes / 1024, after.privateBytes / 1024,
                before.heapBytes / 1024, after.heapBytes / 1024);

    EXPECT_EQ(swept.size() + excluded.size() + 0u,
              static_cast<size_t>(std::count_if(imports.begin(), imports.end(), [](const ImportedFunction& i) {
                  return IsSystemDll(i.dll) || IsSuiteDll(i.dll);
              })));
    EXPECT_EQ(failurePoints, static_cast<int>(2 * swept.size()));
    // Tolerances: a few handles of Wine's own (window and COM housekeeping), and 4 MiB
    // of growth over some hundreds of full runs: one lost block per run of any payload
    // or path would exceed either.
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.privateBytes, before.privateBytes + 4 * 1024 * 1024);
    EXPECT_LE(after.heapBytes, before.heapBytes + 4 * 1024 * 1024);
    FreeLibrary(api.module);
    OleUninitialize();
}
