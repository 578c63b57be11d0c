// One owning type per kind of Windows resource, named after what releases it.
// Releasing never changes the thread's last error, so a failure can be logged after
// the resources of the failing function are gone.
#pragma once

#include <windows.h>

#include <utility>

namespace FerrydockIpc {

// Traits: a type T, a static Release(T), and a static Invalid() naming "none".
template <typename Traits>
class UniqueResource {
    using T = typename Traits::Type;
    static T Invalid() { return Traits::Invalid(); }

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
    bool valid() const { return value_ != Invalid(); }
    explicit operator bool() const { return valid(); }

    // For out-parameters: releases what is held and hands out the slot to fill.
    T* put()
    {
        reset();
        return &value_;
    }

    T release() { return std::exchange(value_, Invalid()); }

    void reset() { reset(Invalid()); }
    void reset(T value)
    {
        const T old = std::exchange(value_, value);
        if (old != Invalid()) {
            const DWORD lastError = GetLastError();
            Traits::Release(old);
            SetLastError(lastError);
        }
    }

private:
    T value_ = Invalid();
};

template <typename Handle, void (*Free)(Handle)>
struct NullIsNone {
    using Type = Handle;
    static Handle Invalid() { return nullptr; }
    static void Release(Handle h) { Free(h); }
};

namespace resdetail {
inline void CloseHandle(HANDLE h) { ::CloseHandle(h); }
inline void LocalFree(HLOCAL h) { ::LocalFree(h); }
inline void GlobalFree(HGLOBAL h) { ::GlobalFree(h); }
} // namespace resdetail

struct FileHandleTraits {
    using Type = HANDLE;
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Release(HANDLE h) { ::CloseHandle(h); }
};

// Handles for which the API reports "none" as null (tokens, events, threads).
using UniqueHandle = UniqueResource<NullIsNone<HANDLE, resdetail::CloseHandle>>;
// Handles for which the API reports "none" as INVALID_HANDLE_VALUE (files, pipes).
using UniqueFileHandle = UniqueResource<FileHandleTraits>;
using UniqueLocalMemory = UniqueResource<NullIsNone<HLOCAL, resdetail::LocalFree>>;
using UniqueGlobalMemory = UniqueResource<NullIsNone<HGLOBAL, resdetail::GlobalFree>>;

// Keeps a global memory block locked for the scope; null when the lock failed.
class GlobalLock {
public:
    explicit GlobalLock(HGLOBAL block) : block_(block), data_(block ? ::GlobalLock(block) : nullptr) {}
    GlobalLock(const GlobalLock&) = delete;
    GlobalLock& operator=(const GlobalLock&) = delete;
    ~GlobalLock()
    {
        if (data_ != nullptr) {
            const DWORD lastError = GetLastError();
            ::GlobalUnlock(block_);
            SetLastError(lastError);
        }
    }
    void* data() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    HGLOBAL block_;
    void* data_;
};

} // namespace FerrydockIpc
