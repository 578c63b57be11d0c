// Shelfwise.dll: the product adaptation library (product properties, edition, shares).
#pragma once

#include "FileInfo.h"

#include <set>
#include <string>
#include <unordered_map>

#ifdef SHELFWISE_EXPORTS
#define SHELFWISE_API __declspec(dllexport)
#else
#define SHELFWISE_API __declspec(dllimport)
#endif

// The copy operations are defined in line at the end of this header; FerrydockUITrans.dll
// emits and exports them, and a program that defines FERRYDOCK_IMPORT_SUITE_INLINES
// takes them from there.
#if defined(FERRYDOCK_UI_TRANS_BUILDING)
#define SHELFWISE_INLINE __declspec(dllexport)
#elif defined(FERRYDOCK_IMPORT_SUITE_INLINES)
#define SHELFWISE_INLINE __declspec(dllimport)
#else
#define SHELFWISE_INLINE
#endif

class XaloSoftShelf {
public:
    SHELFWISE_API static XaloSoftShelf* GetInstance();

    // Whether the product has the property name with the given value.
    SHELFWISE_API bool IsSupportProperty(const std::string& name, const std::string& value);

    SHELFWISE_API static FileInfo::VeltraShareName GetVeltraShareName();
    SHELFWISE_API static bool IsITVersion();

    // Defined in line, as the suite's declarations do; programs that include this
    // header get them from FerrydockUITrans.dll.
    SHELFWISE_INLINE XaloSoftShelf(const XaloSoftShelf& other);
    SHELFWISE_INLINE XaloSoftShelf& operator=(const XaloSoftShelf& other);

private:
    SHELFWISE_API XaloSoftShelf();

    std::unordered_map<std::string, std::set<std::string>> properties_;
    bool loaded_ = false;
    bool itVersion_ = false;
    std::string productName_;
    std::string productVersion_;
    std::string channel_;
    std::string region_;
    bool loginGuide_ = false;
    bool oem_ = false;
};

#ifndef FERRYDOCK_IMPORT_SUITE_INLINES

inline XaloSoftShelf::XaloSoftShelf(const XaloSoftShelf& other)
    : properties_(other.properties_),
      loaded_(other.loaded_),
      itVersion_(other.itVersion_),
      productName_(other.productName_),
      productVersion_(other.productVersion_),
      channel_(other.channel_),
      region_(other.region_),
      loginGuide_(other.loginGuide_),
      oem_(other.oem_)
{
}

// The flags are copied also when an object is assigned to itself.
inline XaloSoftShelf& XaloSoftShelf::operator=(const XaloSoftShelf& other)
{
    if (this != &other) {
        properties_ = other.properties_;
        productName_ = other.productName_;
        productVersion_ = other.productVersion_;
        channel_ = other.channel_;
        region_ = other.region_;
    }
    loaded_ = other.loaded_;
    itVersion_ = other.itVersion_;
    loginGuide_ = other.loginGuide_;
    oem_ = other.oem_;
    return *this;
}

#endif // FERRYDOCK_IMPORT_SUITE_INLINES
