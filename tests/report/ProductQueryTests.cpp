#include "report/DataReport.h"

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
