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

class XaloSoftShelf {
public:
    SHELFWISE_API static XaloSoftShelf* GetInstance();

    // Whether the product has the property name with the given value.
    SHELFWISE_API bool IsSupportProperty(const std::string& name, const std::string& value);

    SHELFWISE_API static FileInfo::VeltraShareName GetVeltraShareName();
    SHELFWISE_API static bool IsITVersion();

    // Defined in line, as the suite's declarations do; programs that include this
    // header get them from FerrydockUITrans.dll.
    XaloSoftShelf(const XaloSoftShelf& other);
    XaloSoftShelf& operator=(const XaloSoftShelf& other);

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
