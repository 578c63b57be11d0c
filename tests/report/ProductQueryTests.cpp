#include "report/DataReport.h"

#include "FerrydockUITrans.h"
#include "LoadedLibrary.h"
#include "ScopedVariable.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using reporttest::ScopedVariable;

namespace {

struct Answer {
    std::optional<std::wstring> variable; // nullopt: not set at all
    bool expected;
};

} // namespace

TEST(IsAgreeClause, TrueOnlyForTheOneCharacterAnswerOne)
{
    const Answer answers[] = {
        {L"1", true},
        {L"", false}, // set but empty: an empty answer, not the default
        {L"0", false},
        {L"2", false},
        {L"11", false},
        {L"10", false},
        {L" 1", false},
        {std::nullopt, true}, // the stand-in's default answer is "1"
    };
    ScopedVariable variable(L"FERRYDOCK_AGREE_CLAUSE", std::nullopt);
    const testsupport::LogCapture capture;
    for (const Answer& a : answers) {
        SCOPED_TRACE(a.variable ? "answer \"" + std::string(a.variable->begin(), a.variable->end()) + "\""
                                : std::string("no answer set"));
        variable.Set(a.variable);
        EXPECT_EQ(FerrydockIpc::IsAgreeClause(), a.expected);
    }
    EXPECT_TRUE(capture.Records().empty());
}

TEST(IsITVersion, ReturnsTheEditionLibrarysAnswer)
{
    const Answer answers[] = {
        {L"1", true},
        {L"0", false},
        {L"", false},
        {std::nullopt, false}, // the stand-in's default: not the IT edition
    };
    ScopedVariable variable(L"FERRYDOCK_IT_VERSION", std::nullopt);
    for (const Answer& a : answers) {
        variable.Set(a.variable);
        EXPECT_EQ(FerrydockIpc::IsITVersion(), a.expected) << (a.variable ? "set" : "not set");
    }
}

// Both answers are read afresh at every call, also through the loaded library's exports.
TEST(ProductQueryExports, AnswerEachCallAfresh)
{
    const reporttest::LoadedLibrary library;
    ASSERT_TRUE(library.Loaded()) << GetLastError();
    const auto itVersion = library.Resolve<PFN_BoolVoid>("IsITVersion");
    const auto agreed = library.Resolve<PFN_BoolVoid>("IsAgreeClause");
    ASSERT_NE(itVersion, nullptr);
    ASSERT_NE(agreed, nullptr);
    ScopedVariable edition(L"FERRYDOCK_IT_VERSION", L"1");
    ScopedVariable agreement(L"FERRYDOCK_AGREE_CLAUSE", L"0");
    EXPECT_TRUE(itVersion());
    EXPECT_FALSE(agreed());
    edition.Set(L"0");
    agreement.Set(L"1");
    EXPECT_FALSE(itVersion());
    EXPECT_TRUE(agreed());
}
