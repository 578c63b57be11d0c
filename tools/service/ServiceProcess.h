// Starts ferrydock-service.exe as a child with its standard input and output on pipes,
// collects the lines it prints, and stops it. Used by the host program and the tests.
#pragma once

#include "ferrydock/Resource.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace service {

class ServiceProcess {
public:
    ServiceProcess() = default;
    ~ServiceProcess() { Stop(); }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    // exe: full path; arguments: the command line after the program name.
    // Returns once the service printed "ready" (false if it did not within timeoutMs).
    bool Start(const std::wstring& exe, const std::wstring& arguments, DWORD timeoutMs = 15000)
    {
        Stop();
        lines_.clear();
        SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
        FerrydockIpc::UniqueHandle childIn, childOut;
        if (!CreatePipe(childIn.put(), input_.put(), &inheritable, 0) ||
            !CreatePipe(output_.put(), childOut.put(), &inheritable, 0)) {
            return false;
        }
        SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn.get();
        startup.hStdOutput = childOut.get();
        startup.hStdError = childOut.get();
        std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &info)) {
            input_.reset();
            output_.reset();
            return false;
        }
        process_.reset(info.hProcess);
        FerrydockIpc::UniqueHandle thread(info.hThread);
        // Only the child holds its ends now: its output ends when it exits.
        childIn.reset();
        childOut.reset();
        reader_ = std::thread([this] { ReadLines(); });
        return WaitForLine("ready", 1, timeoutMs);
    }

    // Waits for the process to end on its own: its exit code, or -1 when it still runs.
    long WaitForExit(DWORD timeoutMs)
    {
        DWORD code = 0;
        if (!process_ || WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_.get(), &code)) {
            return -1;
        }
        return static_cast<long>(code);
    }

    bool Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

    bool SendLine(const std::string& line)
    {
        const std::string data = line + "\n";
        DWORD written = 0;
        return input_ && WriteFile(input_.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
               written == data.size();
    }

    // Waits until line has been printed at least count times since Start (false when
    // the time runs out or the service's output ends first).
    bool WaitForLine(const std::string& line, int count, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return CountLocked(line) >= count || (readerStarted_ && !readerRunning_); });
        return CountLocked(line) >= count;
    }

    // Sends command and waits for the first line after it that starts with prefix;
    // that line is taken out of Lines() (a query repeated a million times must not
    // pile up its answers), and the rest of it returned. false when none came in time.
    bool Ask(const std::string& command, const std::string& prefix, std::string& answer, DWORD timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::size_t before = lines_.size();
        lock.unlock();
        if (!SendLine(command)) {
            return false;
        }
        lock.lock();
        auto found = lines_.end();
        changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            found = std::find_if(lines_.begin() + static_cast<std::ptrdiff_t>(std::min(before, lines_.size())),
                                 lines_.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
            return found != lines_.end() || (readerStarted_ && !readerRunning_);
        });
        if (found == lines_.end()) {
            return false;
        }
        answer = found->substr(prefix.size());
        lines_.erase(found);
        return true;
    }

    std::vector<std::string> Lines() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

    // "quit", then waits for the exit; terminates it when it does not exit in time.
    void Stop(DWORD timeoutMs = 5000)
    {
        if (process_) {
            SendLine("quit");
            input_.reset();
            if (WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0) {
                TerminateProcess(process_.get(), 9);
                WaitForSingleObject(process_.get(), INFINITE);
            }
        }
        Finish();
    }

    // Ends the process at once, as a crash would.
    void Kill()
    {
        if (process_) {
            TerminateProcess(process_.get(), 9);
            WaitForSingleObject(process_.get(), INFINITE);
        }
        Finish();
    }

private:
    int CountLocked(const std::string& line) const
    {
        int seen = 0;
        for (const auto& printed : lines_) {
            seen += printed == line ? 1 : 0;
        }
        return seen;
    }

    void ReadLines()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            readerStarted_ = true;
            readerRunning_ = true;
        }
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(output_.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                pending.erase(0, end + 1);
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back(line);
                changed_.notify_all();
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        readerRunning_ = false;
        changed_.notify_all();
    }

    void Finish()
    {
        input_.reset();
        if (reader_.joinable()) {
            reader_.join();
        }
        output_.reset();
        process_.reset();
        readerStarted_ = false;
    }

    FerrydockIpc::UniqueHandle process_;
    FerrydockIpc::UniqueHandle input_;
    FerrydockIpc::UniqueHandle output_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool readerStarted_ = false;
    bool readerRunning_ = false;
};

} // namespace service
