// Owning types for Windows resources, shared by the bridge, the stand-ins and the tools.
// An owner names the API's own release function as a template argument, so no wrapper
// function is written per resource. Releasing never changes the thread's last error, so a
// failure can be logged after the resources of the failing function are gone.
#pragma once

#include <windows.h>

#include <utility>

namespace FerrydockIpc {

// Keeps the thread's last error across a scope that may call the system.
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(::GetLastError()) {}
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;
    ~LastErrorKeeper() { ::SetLastError(saved_); }

private:
    DWORD saved_;
};

namespace resource {

// "None" is null: memory blocks, SIDs, tokens, events, threads, windows.
struct NullIsNone {
    template <typename T>
    static bool IsNone(T value) { return value == T{}; }
};

// Kernel handles: an API reports "none" as null or as INVALID_HANDLE_VALUE depending on the
// call, so both count as "none" whatever the handle came from.
struct HandleNone {
    static bool IsNone(HANDLE value) { return value == nullptr || value == INVALID_HANDLE_VALUE; }
};

} // namespace resource

// Owns one T released by Release(T); the release function's result is ignored.
template <typename T, auto Release, typename None = resource::NullIsNone>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    T get() const { return value_; }
    bool valid() const { return !None::IsNone(value_); }
    explicit operator bool() const { return valid(); }

    // For out-parameters: releases what is held and hands out the slot to fill.
    T* put()
    {
        reset();
        return &value_;
    }

    T release() { return std::exchange(value_, T{}); }

    void reset(T value = T{})
    {
        const T old = std::exchange(value_, value);
        if (!None::IsNone(old)) {
            const LastErrorKeeper keep;
            Release(old);
        }
    }

private:
    T value_{};
};

// A COM interface pointer owning one reference.
template <typename T>
void ReleaseInterface(T* object)
{
    object->Release();
}
template <typename T>
using UniqueInterface = UniqueResource<T*, ReleaseInterface<T>>;

// Kernel handles of every kind (files, pipes, events, threads, tokens).
using UniqueHandle = UniqueResource<HANDLE, ::CloseHandle, resource::HandleNone>;
// The name that files and pipes go by; the same type, since both "none" values are handled.
using UniqueFileHandle = UniqueHandle;
using UniqueLocalMemory = UniqueResource<HLOCAL, ::LocalFree>;
using UniqueGlobalMemory = UniqueResource<HGLOBAL, ::GlobalFree>;
using UniqueWindow = UniqueResource<HWND, ::DestroyWindow>;

// Runs a function when the scope ends, unless dismissed; the last error survives it.
template <typename Fn>
class ScopeExit {
public:
    explicit ScopeExit(Fn fn) : fn_(std::move(fn)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit()
    {
        if (armed_) {
            const LastErrorKeeper keep;
            fn_();
        }
    }
    void dismiss() { armed_ = false; }

private:
    Fn fn_;
    bool armed_ = true;
};

template <typename Fn>
ScopeExit<Fn> OnScopeExit(Fn fn)
{
    return ScopeExit<Fn>(std::move(fn));
}

// The undoing half of a paired call (OleInitialize and OleUninitialize), made at the end of
// the scope when the first half succeeded; the last error survives it.
template <auto Undo>
class UniqueCall : public ScopeExit<decltype(Undo)> {
public:
    explicit UniqueCall(bool armed) : ScopeExit<decltype(Undo)>(Undo)
    {
        if (!armed) {
            this->dismiss();
        }
    }
};

// Keeps a global memory block locked for the scope; null when the lock failed.
class GlobalLock {
public:
    explicit GlobalLock(HGLOBAL block) : block_(block), data_(block ? ::GlobalLock(block) : nullptr) {}
    GlobalLock(const GlobalLock&) = delete;
    GlobalLock& operator=(const GlobalLock&) = delete;
    ~GlobalLock()
    {
        if (data_ != nullptr) {
            const LastErrorKeeper keep;
            ::GlobalUnlock(block_);
        }
    }
    void* data() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    HGLOBAL block_;
    void* data_;
};

} // namespace FerrydockIpc
