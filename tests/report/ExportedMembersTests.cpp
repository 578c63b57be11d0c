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

// ---- digest classes ----

// A digest object's bytes: vtable pointer, hash handle, algorithm id, digest length.
struct DigestFields {
    std::uintptr_t hash;
    std::uint32_t algorithmId;
    std::uint32_t digestLength;
    bool operator==(const DigestFields& o) const
    {
        return hash == o.hash && algorithmId == o.algorithmId && digestLength == o.digestLength;
    }
};

constexpr std::size_t kHashOffset = sizeof(void*);

DigestFields FieldsOf(const DE::CryptBase& object)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&object);
    DigestFields fields{};
    std::memcpy(&fields.hash, bytes + kHashOffset, sizeof(fields.hash));
    std::memcpy(&fields.algorithmId, bytes + kHashOffset + 8, 4);
    std::memcpy(&fields.digestLength, bytes + kHashOffset + 12, 4);
    return fields;
}

void SetHash(DE::CryptBase& object, std::uintptr_t hash)
{
    std::memcpy(reinterpret_cast<unsigned char*>(&object) + kHashOffset, &hash, sizeof(hash));
}

// Every Reset that Pathkit.dll sees while the log is alive: the object and its handle.
class ResetLog {
public:
    ResetLog() { CryptBaseSetResetSink(&ResetLog::Sink, this); }
    ~ResetLog() { CryptBaseSetResetSink(nullptr, nullptr); }
    ResetLog(const ResetLog&) = delete;
    ResetLog& operator=(const ResetLog&) = delete;
    std::vector<std::pair<const void*, std::uintptr_t>> calls;

private:
    static void __stdcall Sink(const void* object, std::uintptr_t hash, void* context)
    {
        static_cast<ResetLog*>(context)->calls.emplace_back(object, hash);
    }
};

static_assert(sizeof(DE::CryptMD5) == 24 && sizeof(DE::CryptSHA256) == 24, "vtable pointer, handle, two 32-bit values");

template <typename Digest>
void CheckDigestClass(std::uint32_t algorithmId, std::uint32_t digestLength)
{
    const DigestFields fresh{0, algorithmId, digestLength};
    const DigestFields withHash{0x5EED, algorithmId, digestLength};
    ResetLog resets;
    const void* destroyed[3] = {};
    {
        Digest original;
        EXPECT_EQ(original.DigestLen(), digestLength);
        EXPECT_EQ(FieldsOf(original), fresh);
        SetHash(original, 0x5EED);

        Digest copy(original);
        EXPECT_EQ(FieldsOf(copy), withHash) << "copied bit for bit";
        EXPECT_EQ(copy.DigestLen(), digestLength);

        Digest target;
        EXPECT_EQ(&(target = original), &target);
        EXPECT_EQ(FieldsOf(target), withHash);

        destroyed[0] = &target;
        destroyed[1] = &copy;
        destroyed[2] = &original;
        EXPECT_TRUE(resets.calls.empty());
    }
    const std::vector<std::pair<const void*, std::uintptr_t>> once = {
        {destroyed[0], 0x5EED}, {destroyed[1], 0x5EED}, {destroyed[2], 0x5EED}};
    EXPECT_EQ(resets.calls, once) << "Reset once per destroyed object, in order of destruction";

    // Destroyed through the base class: the virtual destructor of the library.
    resets.calls.clear();
    std::unique_ptr<DE::CryptBase> owned(new Digest);
    const void* address = owned.get();
    owned.reset();
    EXPECT_EQ(resets.calls, (std::vector<std::pair<const void*, std::uintptr_t>>{{address, 0}}));
}

} // namespace

TEST(DigestClasses, ValuesCopiesAndOneResetPerDestroyedObject)
{
    {
        SCOPED_TRACE("MD5");
        CheckDigestClass<DE::CryptMD5>(0x8003, 16);
    }
    {
        SCOPED_TRACE("SHA1");
        CheckDigestClass<DE::CryptSHA1>(0x8004, 20);
    }
    {
        SCOPED_TRACE("SHA256");
        CheckDigestClass<DE::CryptSHA256>(0x800C, 32);
    }
}

TEST(DigestClasses, BaseAssignmentCopiesAllThreeFieldsAcrossClasses)
{
    ResetLog resets;
    DE::CryptMD5 md5;
    DE::CryptSHA256 sha256;
    SetHash(sha256, 77);
    DE::CryptBase& base = md5;
    EXPECT_EQ(&(base = sha256), &base);
    EXPECT_EQ(FieldsOf(md5), (DigestFields{77, 0x800C, 32}));
    EXPECT_EQ(md5.DigestLen(), 32u);
}

// ---- XaloSoftShelf copy operations ----

namespace {

// The members in their fixed order, declared independently of the class.
struct ShelfFields {
    std::unordered_map<std::string, std::set<std::string>> properties;
    bool loaded;
    bool itVersion;
    std::string productName;
    std::string productVersion;
    std::string channel;
    std::string region;
    bool loginGuide;
    bool oem;

    auto Tie() const
    {
        return std::tie(properties, loaded, itVersion, productName, productVersion, channel, region, loginGuide, oem);
    }
    bool operator==(const ShelfFields& o) const { return Tie() == o.Tie(); }
};

static_assert(sizeof(ShelfFields) == sizeof(XaloSoftShelf), "same members, same order");

ShelfFields Source()
{
    return {{{"TransferFileType", {"exe", "apk"}}, {"Edition", {"home"}}},
            true, false, "Ferrydock", "3.1.0", "stable", "eu", false, true};
}

ShelfFields OtherTarget()
{
    return {{{"Old", {"value"}}}, false, true, "Other", "0.9", "beta", "us", true, false};
}

// Storage seen both as the class and as its fields.
struct ShelfStorage {
    alignas(XaloSoftShelf) unsigned char bytes[sizeof(XaloSoftShelf)];
    XaloSoftShelf& Object() { return *std::launder(reinterpret_cast<XaloSoftShelf*>(bytes)); }
    ShelfFields& Fields() { return *std::launder(reinterpret_cast<ShelfFields*>(bytes)); }
};

const XaloSoftShelf& AsShelf(const ShelfFields& fields) { return reinterpret_cast<const XaloSoftShelf&>(fields); }

} // namespace

TEST(XaloSoftShelfCopy, CopiesEveryMemberAndSurvivesSelfAssignment)
{
    const ShelfFields source = Source();

    ShelfStorage copied;
    new (copied.bytes) XaloSoftShelf(AsShelf(source));
    EXPECT_EQ(copied.Fields(), source);

    ShelfStorage assigned;
    new (assigned.bytes) ShelfFields(OtherTarget());
    EXPECT_EQ(&(assigned.Object() = AsShelf(source)), &assigned.Object());
    EXPECT_EQ(assigned.Fields(), source) << "table replaced, strings and all four flags assigned";

    XaloSoftShelf& self = assigned.Object();
    EXPECT_EQ(&(self = self), &self);
    EXPECT_EQ(assigned.Fields(), source);

    copied.Fields().~ShelfFields();
    assigned.Fields().~ShelfFields();
}

// ---- KdSDK::WmiQuery ----

TEST(WmiQuery, ExcuteQueryEmptiesTheListAndMapsAnEmptyResultToMinus15)
{
    EXPECT_STREQ(KdSDK::NAMESPACE_WMI, L"ROOT\\WMI");
    EXPECT_STREQ(KdSDK::NAMESPACE_CIMV2, L"ROOT\\CIMV2");

    struct Case {
        const wchar_t* nameSpace;
        const wchar_t* query;
        bool firstOnly;
        int status;
        std::list<std::wstring> results;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.query)));
        std::list<std::wstring> results = {L"left from before", L"and more"};
        EXPECT_EQ(query.ExcuteQuery(c.nameSpace, c.query, results, c.firstOnly), c.status);
        EXPECT_EQ(results, c.results);
    }
}

// ---- SolView and SolEvent ----

namespace {

// A payload of the test's own: the library reaches it through the virtual add operation.
class RecordingPayload : public Payload {
public:
    void Add(const std::string& key, const std::string& value) override { added.emplace_back(key, value); }
    std::vector<std::pair<std::string, std::string>> added;
};

using Pairs = std::vector<std::pair<std::string, std::string>>;

} // namespace

TEST(SolView, VariadicKVPairsAlternatesKeysAndValues)
{
    struct Case {
        const char* name;
        void (*run)(Payload&);
        Pairs expected;
    };
    const Case cases[] = {
        {"texts", [](Payload& p) { SolView::AddKVPairs(p, "k1", "v1", "k2", "v2"); }, {{"k1", "v1"}, {"k2", "v2"}}},
        {"mixed", [](Payload& p) { SolView::AddKVPairs(p, std::string("key"), "value"); }, {{"key", "value"}}},
        {"a key without a value adds nothing", [](Payload& p) { SolView::AddKVPairs(p, "k1", "v1", "lonely"); },
         {{"k1", "v1"}}},
        {"a repeated key is added again", [](Payload& p) { SolView::AddKVPairs(p, "k", "1", "k", "2"); },
         {{"k", "1"}, {"k", "2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPayload payload;
        c.run(payload);
        EXPECT_EQ(payload.added, c.expected);
        EXPECT_TRUE(payload.Pairs().empty()) << "the library's own Add was not used";
    }
}

TEST(SolView, AssignmentReturnsTheTarget)
{
    SolView target;
    SolView source;
    EXPECT_EQ(&(target = source), &target);
    EXPECT_EQ(&(target = std::move(source)), &target);
}

TEST(SolEvent, LimitsAreTheLibrarysExportedConstants)
{
    HMODULE module = GetModuleHandleW(L"FerrydockUITrans.dll");
    ASSERT_NE(module, nullptr);
    struct Limit {
        const char* exportName;
        const void* address; // as this program's declarations see it
        long long value;
    };
    const Limit limits[] = {
        {"_ZN8SolEvent11MAX_KEY_LENE", &SolEvent::MAX_KEY_LEN, 32},
        {"_ZN8SolEvent12MAX_PAIR_NUME", &SolEvent::MAX_PAIR_NUM, 256},
        {"_ZN8SolEvent12MAX_PATH_LENE", &SolEvent::MAX_PATH_LEN, 256},
        {"_ZN8SolEvent12MAX_FILE_NUME", &SolEvent::MAX_FILE_NUM, 10},
        {"_ZN8SolEvent12MAX_ARR_SIZEE", &SolEvent::MAX_ARR_SIZE, 100},
        {"_ZN8SolEvent13MAX_VALUE_LENE", &SolEvent::MAX_VALUE_LEN, 1024},
    };
    for (const Limit& limit : limits) {
        SCOPED_TRACE(limit.exportName);
        const void* exported = reinterpret_cast<const void*>(GetProcAddress(module, limit.exportName));
        EXPECT_EQ(exported, limit.address) << "the program's constant is the library's";
        EXPECT_EQ(*static_cast<const volatile std::uint64_t*>(exported), static_cast<std::uint64_t>(limit.value));
    }
    const void* invalid = reinterpret_cast<const void*>(GetProcAddress(module, "_ZN8SolEvent11INVALID_NUME"));
    EXPECT_EQ(invalid, static_cast<const void*>(&SolEvent::INVALID_NUM));
    EXPECT_EQ(*static_cast<const volatile std::int32_t*>(invalid), -1);

    EXPECT_EQ(reinterpret_cast<const void*>(GetProcAddress(module, "_ZN5KdSDK13NAMESPACE_WMIE")),
              static_cast<const void*>(KdSDK::NAMESPACE_WMI));
}
