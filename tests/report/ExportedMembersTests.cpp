// Built with FERRYDOCK_IMPORT_SUITE_INLINES: the suite's headers give declarations only,
// so every in-line member used here comes from FerrydockUITrans.dll's import library.
#include "CryptBase.h"
#include "SolView.h"
#include "WmiQuery.h"
#include "XaloSoftShelf.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// A digest object's bytes after its vtable pointer: hash handle, algorithm id, digest length.
using DigestFields = std::tuple<std::uintptr_t, std::uint32_t, std::uint32_t>;
struct RawDigestFields {
    std::uintptr_t hash;
    std::uint32_t algorithmId, digestLength;
};
static_assert(sizeof(DE::CryptMD5) == sizeof(void*) + sizeof(RawDigestFields), "vtable pointer and the fields");

DigestFields FieldsOf(const DE::CryptBase& object)
{
    RawDigestFields raw{};
    std::memcpy(&raw, reinterpret_cast<const unsigned char*>(&object) + sizeof(void*), sizeof(raw));
    return {raw.hash, raw.algorithmId, raw.digestLength};
}

void SetHash(DE::CryptBase& object, std::uintptr_t hash)
{
    std::memcpy(reinterpret_cast<unsigned char*>(&object) + sizeof(void*), &hash, sizeof(hash));
}

// Every Reset that Pathkit.dll sees while the log is alive: the object and its handle.
struct ResetLog {
    ResetLog() { CryptBaseSetResetSink(&ResetLog::Sink, this); }
    ~ResetLog() { CryptBaseSetResetSink(nullptr, nullptr); }
    static void __stdcall Sink(const void* object, std::uintptr_t hash, void* context)
    {
        static_cast<ResetLog*>(context)->calls.emplace_back(object, hash);
    }
    std::vector<std::pair<const void*, std::uintptr_t>> calls;
};

template <typename Digest>
void CheckDigestClass(const char* name, std::uint32_t algorithmId, std::uint32_t digestLength)
{
    SCOPED_TRACE(name);
    const DigestFields withHash{0x5EED, algorithmId, digestLength};
    ResetLog resets;
    const void* destroyed[3] = {};
    {
        Digest original;
        EXPECT_EQ(original.DigestLen(), digestLength);
        EXPECT_EQ(FieldsOf(original), (DigestFields{0, algorithmId, digestLength}));
        SetHash(original, 0x5EED);
        Digest copy(original);
        EXPECT_EQ(FieldsOf(copy), withHash) << "copied bit for bit";
        Digest target;
        EXPECT_EQ(&(target = original), &target);
        EXPECT_EQ(FieldsOf(target), withHash);
        destroyed[0] = &target;
        destroyed[1] = &copy;
        destroyed[2] = &original;
        EXPECT_TRUE(resets.calls.empty());
    }
    EXPECT_EQ(resets.calls, (decltype(resets.calls){{destroyed[0], 0x5EED}, {destroyed[1], 0x5EED},
                                                    {destroyed[2], 0x5EED}}))
        << "Reset once per destroyed object, in order of destruction";
    // Destroyed through the base class: the virtual destructor of the library.
    resets.calls.clear();
    std::unique_ptr<DE::CryptBase> owned(new Digest);
    const void* address = owned.get();
    owned.reset();
    EXPECT_EQ(resets.calls, (decltype(resets.calls){{address, 0}}));
}

} // namespace

TEST(DigestClasses, ValuesCopiesAndOneResetPerDestroyedObject)
{
    CheckDigestClass<DE::CryptMD5>("MD5", 0x8003, 16);
    CheckDigestClass<DE::CryptSHA1>("SHA1", 0x8004, 20);
    CheckDigestClass<DE::CryptSHA256>("SHA256", 0x800C, 32);
    // The base assignment copies all three fields across classes.
    ResetLog resets;
    DE::CryptMD5 md5;
    DE::CryptSHA256 sha256;
    SetHash(sha256, 77);
    DE::CryptBase& base = md5;
    EXPECT_EQ(&(base = sha256), &base);
    EXPECT_EQ(FieldsOf(md5), (DigestFields{77, 0x800C, 32}));
    EXPECT_EQ(md5.DigestLen(), 32u);
}

namespace {

// The members of XaloSoftShelf in their fixed order, declared independently of the class.
struct ShelfFields {
    std::unordered_map<std::string, std::set<std::string>> properties;
    bool loaded, itVersion;
    std::string productName, productVersion, channel, region;
    bool loginGuide, oem;
    bool operator==(const ShelfFields& o) const
    {
        return std::tie(properties, loaded, itVersion, productName, productVersion, channel, region, loginGuide, oem) ==
               std::tie(o.properties, o.loaded, o.itVersion, o.productName, o.productVersion, o.channel, o.region,
                        o.loginGuide, o.oem);
    }
};
static_assert(sizeof(ShelfFields) == sizeof(XaloSoftShelf), "same members, same order");

// Storage seen both as the class and as its fields.
struct ShelfStorage {
    alignas(XaloSoftShelf) unsigned char bytes[sizeof(XaloSoftShelf)];
    XaloSoftShelf& Object() { return *std::launder(reinterpret_cast<XaloSoftShelf*>(bytes)); }
    ShelfFields& Fields() { return *std::launder(reinterpret_cast<ShelfFields*>(bytes)); }
};

} // namespace

TEST(XaloSoftShelfCopy, CopiesEveryMemberAndSurvivesSelfAssignment)
{
    const ShelfFields source{{{"TransferFileType", {"exe", "apk"}}, {"Edition", {"home"}}},
                             true, false, "Ferrydock", "3.1.0", "stable", "eu", false, true};
    const XaloSoftShelf& sourceShelf = reinterpret_cast<const XaloSoftShelf&>(source);
    ShelfStorage copied;
    new (copied.bytes) XaloSoftShelf(sourceShelf);
    EXPECT_EQ(copied.Fields(), source);
    ShelfStorage assigned;
    new (assigned.bytes) ShelfFields{{{"Old", {"value"}}}, false, true, "Other", "0.9", "beta", "us", true, false};
    EXPECT_EQ(&(assigned.Object() = sourceShelf), &assigned.Object());
    EXPECT_EQ(assigned.Fields(), source) << "table replaced, strings and all four flags assigned";
    XaloSoftShelf& self = assigned.Object();
    EXPECT_EQ(&(self = self), &self);
    EXPECT_EQ(assigned.Fields(), source);
    copied.Fields().~ShelfFields();
    assigned.Fields().~ShelfFields();
}

TEST(WmiQuery, ExcuteQueryEmptiesTheListAndMapsAnEmptyResultToMinus15)
{
    EXPECT_STREQ(KdSDK::NAMESPACE_WMI, L"ROOT\\WMI");
    EXPECT_STREQ(KdSDK::NAMESPACE_CIMV2, L"ROOT\\CIMV2");
    const struct {
        const wchar_t* nameSpace;
        const wchar_t* query;
        bool firstOnly;
        int status;
        std::list<std::wstring> results;
    } cases[] = {
        {KdSDK::NAMESPACE_CIMV2, L"SELECT Caption FROM Win32_OperatingSystem", false, 0, {L"Windows (stand-in)"}},
        {KdSDK::NAMESPACE_CIMV2, L"SELECT Name FROM Win32_VideoController", false, 0,
         {L"Display adapter 1", L"Display adapter 2"}},
        {KdSDK::NAMESPACE_CIMV2, L"SELECT Name FROM Win32_VideoController", true, 0, {L"Display adapter 1"}},
        // Ran, but the only value holds no text: nothing collected.
        {KdSDK::NAMESPACE_CIMV2, L"SELECT SerialNumber FROM Win32_BIOS", false, -15, {}},
        // Ran without any row.
        {KdSDK::NAMESPACE_WMI, L"SELECT InstanceName FROM MSAcpi_ThermalZoneTemperature", false, -15, {}},
        {KdSDK::NAMESPACE_CIMV2, L"SELECT Name FROM Win32_NoSuchClass", false, static_cast<int>(0x80041010), {}},
        {L"ROOT\\NoSuchNamespace", L"SELECT Caption FROM Win32_OperatingSystem", false,
         static_cast<int>(0x8004100E), {}},
    };
    KdSDK::WmiQuery query;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.query)));
        std::list<std::wstring> results = {L"left from before", L"and more"};
        EXPECT_EQ(query.ExcuteQuery(c.nameSpace, c.query, results, c.firstOnly), c.status);
        EXPECT_EQ(results, c.results);
    }
}

namespace {

// A payload of the test's own: the library reaches it through the virtual add operation.
struct RecordingPayload : Payload {
    void Add(const std::string& key, const std::string& value) override { added.emplace_back(key, value); }
    std::vector<std::pair<std::string, std::string>> added;
};

} // namespace

TEST(SolView, VariadicKVPairsAlternatesKeysAndValuesAndAssignmentReturnsTheTarget)
{
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    const struct {
        const char* name;
        void (*run)(Payload&);
        Pairs expected;
    } cases[] = {
        {"texts", [](Payload& p) { SolView::AddKVPairs(p, "k1", "v1", "k2", "v2"); }, {{"k1", "v1"}, {"k2", "v2"}}},
        {"mixed", [](Payload& p) { SolView::AddKVPairs(p, std::string("key"), "value"); }, {{"key", "value"}}},
        {"a key without a value adds nothing", [](Payload& p) { SolView::AddKVPairs(p, "k1", "v1", "lonely"); },
         {{"k1", "v1"}}},
        {"a repeated key is added again", [](Payload& p) { SolView::AddKVPairs(p, "k", "1", "k", "2"); },
         {{"k", "1"}, {"k", "2"}}},
    };
    for (const auto& c : cases) {
        RecordingPayload payload;
        c.run(payload);
        EXPECT_EQ(payload.added, c.expected) << c.name;
        EXPECT_TRUE(payload.Pairs().empty()) << c.name << ": the library's own Add was not used";
    }
    SolView target, source;
    EXPECT_EQ(&(target = source), &target);
    EXPECT_EQ(&(target = std::move(source)), &target);
}

// The program's constants are the library's exported ones.
TEST(SolEvent, LimitsAreTheLibrarysExportedConstants)
{
    HMODULE module = GetModuleHandleW(L"FerrydockUITrans.dll");
    ASSERT_NE(module, nullptr);
    const struct {
        const char* exportName;
        const void* address; // as this program's declarations see it
        long long value;     // 0: not a number
    } limits[] = {
        {"_ZN8SolEvent11MAX_KEY_LENE", &SolEvent::MAX_KEY_LEN, 32},
        {"_ZN8SolEvent12MAX_PAIR_NUME", &SolEvent::MAX_PAIR_NUM, 256},
        {"_ZN8SolEvent12MAX_PATH_LENE", &SolEvent::MAX_PATH_LEN, 256},
        {"_ZN8SolEvent12MAX_FILE_NUME", &SolEvent::MAX_FILE_NUM, 10},
        {"_ZN8SolEvent12MAX_ARR_SIZEE", &SolEvent::MAX_ARR_SIZE, 100},
        {"_ZN8SolEvent13MAX_VALUE_LENE", &SolEvent::MAX_VALUE_LEN, 1024},
        {"_ZN8SolEvent11INVALID_NUME", &SolEvent::INVALID_NUM, -1},
        {"_ZN5KdSDK13NAMESPACE_WMIE", KdSDK::NAMESPACE_WMI, 0},
    };
    for (const auto& limit : limits) {
        const void* exported = reinterpret_cast<const void*>(GetProcAddress(module, limit.exportName));
        EXPECT_EQ(exported, limit.address) << limit.exportName;
        if (limit.value == -1) {
            EXPECT_EQ(*static_cast<const volatile std::int32_t*>(exported), -1);
        } else if (limit.value != 0) {
            EXPECT_EQ(*static_cast<const volatile std::uint64_t*>(exported), static_cast<std::uint64_t>(limit.value))
                << limit.exportName;
        }
    }
}
