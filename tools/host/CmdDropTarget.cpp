// drop-target: a topmost drop-target window in a process of its own, so that a drag from
// any program (the bridge's drags included) arrives as it would in another application:
// through COM's marshalling, every GetData copying the block across processes.
#include "Host.h"
#include "PrintingDropTarget.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <functional>
#include <memory>
#include <thread>

namespace {

using host::FormatText;
using host::PrintLine;

struct TargetArgs {
    unsigned long seconds = 60;
    bool keep = false;
};

TargetArgs ParseTargetArgs(const std::vector<std::wstring>& args)
{
    TargetArgs out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--keep") {
            out.keep = true;
        } else if (args[i] == L"--seconds") {
            if (i + 1 >= args.size()) {
                throw std::invalid_argument("missing value after --seconds");
            }
            wchar_t* end = nullptr;
            out.seconds = std::wcstoul(args[++i].c_str(), &end, 10);
            if (*end != L'\0' || out.seconds == 0 || out.seconds > 86400) {
                throw std::invalid_argument("--seconds takes a whole number from 1 to 86400");
            }
        } else {
            throw std::invalid_argument("unknown option");
        }
    }
    return out;
}

// Serves window messages and COM's calls into this apartment until done() or the deadline.
bool PumpUntil(const std::function<bool()>& done, ULONGLONG deadline)
{
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 50)),
                                  QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return true;
}

// Sets the flag when a line (or the end) of standard input arrives. The read runs on a thread
// of its own so that this thread keeps pumping: the process that dragged serves our reads
// only while its thread pumps, and the same holds for its calls into this apartment. The
// thread is detached: a console that nobody types into must not hold up the exit.
std::shared_ptr<std::atomic<bool>> WatchInputLine()
{
    auto arrived = std::make_shared<std::atomic<bool>>(false);
    std::thread([arrived] {
        char c = 0;
        DWORD got = 0;
        while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1 && c != '\n') {
        }
        *arrived = true;
    }).detach();
    return arrived;
}

int RunDropTarget(host::Api&, const std::vector<std::wstring>& args)
{
    const TargetArgs options = ParseTargetArgs(args);
    const ULONGLONG deadline = GetTickCount64() + options.seconds * 1000ull;
    host::OleScope ole;
    host::PrintingDropTarget target(options.keep);
    // The window goes with the process. Under Wine on a display without a window manager
    // (Xvfb), hiding or destroying a visible window waits 2 s for the manager to withdraw it.
    const HWND window = host::MakeTopmostWindow(host::kDropTargetClass, L"Ferrydock drop target", 600).release();
    const host::DropRegistration registration = host::RegisterDropTarget(window, &target);
    if (FAILED(ole.result) || !registration) {
        PrintLine(L"error: no drop-target window (is an X display set?)");
        return 1;
    }
    RECT area{};
    GetWindowRect(window, &area);
    PrintLine(FormatText(L"drop target at %ld,%ld to %ld,%ld, waiting %lu s for a drop", area.left, area.top,
                         area.right, area.bottom, options.seconds));
    PrintLine(L"ready");
    if (!PumpUntil([&] { return target.drops > 0; }, deadline)) {
        PrintLine(FormatText(L"no drop within %lu s", options.seconds));
        return 1;
    }
    if (options.keep && target.kept) {
        PrintLine(L"keeping the data object; a line on standard input reads it again");
        const auto line = WatchInputLine();
        PumpUntil([&] { return line->load(); }, deadline);
        host::PrintDataObject(L"again", target.kept.get());
        target.kept.reset();
    }
    return 0;
}

host::Registration dropTargetCommand{{
    L"drop-target",
    L"[--seconds N] [--keep]",
    L"a topmost drop-target window in this process; prints what the first drop delivers",
    RunDropTarget,
    {},
    42,
}};

} // namespace
