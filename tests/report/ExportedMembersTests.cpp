// Built with FERRYDOCK_IMPORT_SUITE_INLINES: the suite's headers give declarations only,
// so every in-line member used here comes from FerrydockUITrans.dll's import library.
#include "CryptBase.h"
#include "SolView.h"
#include "WmiQuery.h"
#include "XaloSoftShelf.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <new>
#include <tuple>

namespace {

// A digest object's words after its vtable pointer: hash handle, then algorithm id and digest length.
using DigestFields = std::pair<std::uintptr_t, std::uint64_t>;
static_assert(sizeof(DE::CryptMD5) == sizeof(void*) + sizeof(DigestFields), "vtable pointer and the fields");
DigestFields& FieldsOf(DE::CryptBase& object)
{
    return *reinterpret_cast<DigestFields*>(reinterpret_cast<void**>(&object) + 1);
}

// The hash handle of every object whose Reset Pathkit.dll saw.
std::vector<std::uintptr_t> g_resets;
void __stdcall OnReset(const void*, std::uintptr_t hash, void*) { g_resets.push_back(hash); }

template <typename Digest>
void CheckDigestClass(std::uint32_t algorithmId, std::uint32_t digestLength)
{
    SCOPED_TRACE(algorithmId);
    g_resets.clear();
    CryptBaseSetResetSink(&OnReset, nullptr);
    {
        Digest original;
        EXPECT_EQ(original.DigestLen(), digestLength);
        EXPECT_EQ(FieldsOf(original), DigestFields(0, std::uint64_t{digestLength} << 32 | algorithmId));
        FieldsOf(original).first = 0x5EED;
        Digest copy(original), target;
        EXPECT_EQ(&(target = original), &target);
        EXPECT_TRUE(FieldsOf(copy) == FieldsOf(original) && FieldsOf(target) == FieldsOf(original)) << "bit for bit";
    }
    delete static_cast<DE::CryptBase*>(new Digest); // through the base class: the virtual destructor
    CryptBaseSetResetSink(nullptr, nullptr);
    EXPECT_EQ(g_resets, (std::vector<std::uintptr_t>{0x5EED, 0x5EED, 0x5EED, 0})) << "once per destroyed object";
}

// The members of XaloSoftShelf in their fixed order, declared independently of the class.
struct ShelfFields {
    std::unordered_map<std::string, std::set<std::string>> properties;
    bool loaded, itVersion;
    std::string productName, productVersion, channel, region;
    bool loginGuide, oem;
    auto Tie() const { return std::tie(properties, loaded, itVersion, productName, productVersion, channel, region,
                                       loginGuide, oem); }
    bool operator==(const ShelfFields& o) const { return Tie() == o.Tie(); }
};
static_assert(sizeof(ShelfFields) == sizeof(XaloSoftShelf), "same members, same order");
XaloSoftShelf& AsShelf(void* fields) { return *std::launder(reinterpret_cast<XaloSoftShelf*>(fields)); }

struct RecordingPayload : Payload {
    void Add(const std::string& key, const std::string& value) override { added.emplace_back(key, value); }
    std::vector<std::pair<std::string, std::string>> added;
};

} // namespace

TEST(DigestClasses, ValuesCopiesAndOneResetPerDestroyedObject)
{
    CheckDigestClass<DE::CryptMD5>(0x8003, 16);
    CheckDigestClass<DE::CryptSHA1>(0x8004, 20);
    CheckDigestClass<DE::CryptSHA256>(0x800C, 32);
}

TEST(XaloSoftShelfCopy, CopiesEveryMemberAndSurvivesSelfAssignment)
{
    ShelfFields source{{{"Type", {"exe", "apk"}}}, true, false, "Ferrydock", "3.1.0", "stable", "eu", false, true};
    ShelfFields assigned{{{"Old", {"value"}}}, false, true, "Other", "0.9", "beta", "us", true, false};
    alignas(XaloSoftShelf) unsigned char copied[sizeof(XaloSoftShelf)];
    new (copied) XaloSoftShelf(AsShelf(&source));
    EXPECT_EQ(*std::launder(reinterpret_cast<ShelfFields*>(copied)), source);
    std::launder(reinterpret_cast<ShelfFields*>(copied))->~ShelfFields();
    for (void* from : {&source, &assigned}) { // the second time onto itself
        EXPECT_EQ(&(AsShelf(&assigned) = AsShelf(from)), &AsShelf(&assigned));
        EXPECT_EQ(assigned, source);
    }
}

TEST(WmiQuery, ExcuteQueryEmptiesTheListAndMapsAnEmptyResultToMinus15)
{
    const std::tuple<const wchar_t*, bool, int, std::list<std::wstring>> cases[] = {
        {L"SELECT Name FROM Win32_VideoController", false, 0, {L"Display adapter 1", L"Display adapter 2"}},
        {L"SELECT Name FROM Win32_VideoController", true, 0, {L"Display adapter 1"}},
        {L"SELECT SerialNumber FROM Win32_BIOS", false, -15, {}}, // ran; its only value holds no text
        {L"SELECT Name FROM Win32_NoSuchClass", false, static_cast<int>(0x80041010), {}},
    };
    KdSDK::WmiQuery query;
    for (const auto& [text, firstOnly, status, expected] : cases) {
        std::list<std::wstring> results = {L"left from before"};
        EXPECT_EQ(query.ExcuteQuery(KdSDK::NAMESPACE_CIMV2, text, results, firstOnly), status) << text;
        EXPECT_EQ(results, expected) << text;
    }
    EXPECT_STREQ(KdSDK::NAMESPACE_WMI, L"ROOT\\WMI");
}

TEST(SolView, VariadicKVPairsAlternatesKeysAndValues)
{
    RecordingPayload payload;
    SolView::AddKVPairs(payload, "k1", "v1", std::string("k2"), std::string("v2"), "lonely");
    EXPECT_EQ(payload.added, (decltype(payload.added){{"k1", "v1"}, {"k2", "v2"}}));
    EXPECT_TRUE(payload.Pairs().empty()) << "reached through the virtual add operation";
}
