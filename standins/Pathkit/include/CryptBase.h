// Pathkit.dll: digest helpers of namespace DE. Only Reset lives in Pathkit.dll; the
// members defined in line below are emitted and exported by FerrydockUITrans.dll, and
// a program that defines FERRYDOCK_IMPORT_SUITE_INLINES takes them from there.
#pragma once

#include <cstdint>

#ifdef PATHKIT_EXPORTS
#define PATHKIT_API __declspec(dllexport)
#else
#define PATHKIT_API __declspec(dllimport)
#endif

#if defined(FERRYDOCK_UI_TRANS_BUILDING)
#define PATHKIT_INLINE __declspec(dllexport)
#elif defined(FERRYDOCK_IMPORT_SUITE_INLINES)
#define PATHKIT_INLINE __declspec(dllimport)
#else
#define PATHKIT_INLINE
#endif

namespace DE {

class CryptBase {
public:
    PATHKIT_INLINE CryptBase(std::uint32_t algorithmId, std::uint32_t digestLength);
    PATHKIT_INLINE CryptBase(const CryptBase& other);
    PATHKIT_INLINE CryptBase& operator=(const CryptBase& other);
    PATHKIT_INLINE virtual ~CryptBase();

    PATHKIT_INLINE std::uint32_t DigestLen() const;

    // Lets go of the hash the object refers to; the handle is zero afterwards.
    PATHKIT_API void Reset();

protected:
    std::uintptr_t hash_;        // CryptoAPI hash handle; copies share it
    std::uint32_t algorithmId_;  // CALG_* identifier
    std::uint32_t digestLength_; // bytes
};

class CryptMD5 : public CryptBase {
public:
    PATHKIT_INLINE CryptMD5();
    PATHKIT_INLINE CryptMD5(const CryptMD5& other);
    PATHKIT_INLINE CryptMD5& operator=(const CryptMD5& other);
    PATHKIT_INLINE ~CryptMD5() override;
};

class CryptSHA1 : public CryptBase {
public:
    PATHKIT_INLINE CryptSHA1();
    PATHKIT_INLINE CryptSHA1(const CryptSHA1& other);
    PATHKIT_INLINE CryptSHA1& operator=(const CryptSHA1& other);
    PATHKIT_INLINE ~CryptSHA1() override;
};

class CryptSHA256 : public CryptBase {
public:
    PATHKIT_INLINE CryptSHA256();
    PATHKIT_INLINE CryptSHA256(const CryptSHA256& other);
    PATHKIT_INLINE CryptSHA256& operator=(const CryptSHA256& other);
    PATHKIT_INLINE ~CryptSHA256() override;
};

#ifndef FERRYDOCK_IMPORT_SUITE_INLINES

inline CryptBase::CryptBase(std::uint32_t algorithmId, std::uint32_t digestLength)
    : hash_(0), algorithmId_(algorithmId), digestLength_(digestLength)
{
}

inline CryptBase::CryptBase(const CryptBase& other)
    : hash_(other.hash_), algorithmId_(other.algorithmId_), digestLength_(other.digestLength_)
{
}

inline CryptBase& CryptBase::operator=(const CryptBase& other)
{
    hash_ = other.hash_;
    algorithmId_ = other.algorithmId_;
    digestLength_ = other.digestLength_;
    return *this;
}

// The derived destructors add nothing, so each destroyed object is reset exactly once.
inline CryptBase::~CryptBase() { Reset(); }

inline std::uint32_t CryptBase::DigestLen() const { return digestLength_; }

inline CryptMD5::CryptMD5() : CryptBase(0x8003 /* CALG_MD5 */, 16) {}
inline CryptMD5::CryptMD5(const CryptMD5& other) : CryptBase(other) {}
inline CryptMD5& CryptMD5::operator=(const CryptMD5& other)
{
    CryptBase::operator=(other);
    return *this;
}
inline CryptMD5::~CryptMD5() = default;

inline CryptSHA1::CryptSHA1() : CryptBase(0x8004 /* CALG_SHA1 */, 20) {}
inline CryptSHA1::CryptSHA1(const CryptSHA1& other) : CryptBase(other) {}
inline CryptSHA1& CryptSHA1::operator=(const CryptSHA1& other)
{
    CryptBase::operator=(other);
    return *this;
}
inline CryptSHA1::~CryptSHA1() = default;

inline CryptSHA256::CryptSHA256() : CryptBase(0x800C /* CALG_SHA_256 */, 32) {}
inline CryptSHA256::CryptSHA256(const CryptSHA256& other) : CryptBase(other) {}
inline CryptSHA256& CryptSHA256::operator=(const CryptSHA256& other)
{
    CryptBase::operator=(other);
    return *this;
}
inline CryptSHA256::~CryptSHA256() = default;

#endif // FERRYDOCK_IMPORT_SUITE_INLINES

} // namespace DE

// Test hook of the stand-in: every Reset is reported to the sink, on the caller's
// thread, with the object and the handle it held. A null sink removes it.
extern "C" {
typedef void(__stdcall* CryptBaseResetSink)(const void* object, std::uintptr_t hash, void* context);
PATHKIT_API void __stdcall CryptBaseSetResetSink(CryptBaseResetSink sink, void* context);
}
