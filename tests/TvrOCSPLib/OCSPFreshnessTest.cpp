// Whether an answer is current at a given instant, on answers built with chosen times.
// Answers of a real `openssl ocsp` are checked in OCSPResponderTest.
#include "LogCapture.h"
#include "OCSPLibLogger.h"
#include "OcspTestUtil.h"

#include <gtest/gtest.h>

using namespace OcspTest;
using TvrOCSP::SingleResponse;

namespace {

constexpr std::time_t kMinute = 60;
constexpr std::time_t kDay = 24 * 3600;
// 2026-06-01T12:00:00Z: checks are made at this instant, never at the clock's.
constexpr std::time_t kNow = 1780315200;

SingleResponse SingleOf(const OCSP_BASICRESP* basic)
{
    auto singles = ToBasic(basic).GetSingleResponses();
    if (!singles || singles->size() != 1)
        throw std::runtime_error("SingleOf: one single response expected");
    return singles->front();
}

// An answer for the signing leaf with these times; next 0 leaves nextUpdate out.
SingleResponse Answer(std::time_t thisUpdate, std::time_t nextUpdate)
{
    BasicSpec spec;
    spec.singles = {{&Pki().SigningLeaf()}};
    spec.singles[0].nextUpdate = nextUpdate != 0;
    spec.thisUpdate = thisUpdate;
    spec.nextUpdate = nextUpdate;
    return SingleOf(BuildBasic(spec).get());
}

} // namespace

TEST(OcspFreshness, AnswersAtAGivenInstant)
{
    struct Case {
        const char* name;
        std::time_t thisUpdate;
        std::time_t nextUpdate;  // 0: none
        bool fresh;
    };
    const Case cases[] = {
        {"current", kNow - 3600, kNow + 3600, true},
        {"nextUpdate 2 days past", kNow - 3 * kDay, kNow - 2 * kDay, false},
        {"nextUpdate 300 days past", kNow - 301 * kDay, kNow - 300 * kDay, false},
        {"thisUpdate 10 days ahead", kNow + 10 * kDay, kNow + 11 * kDay, false},
        {"thisUpdate 30 days ahead", kNow + 30 * kDay, kNow + 31 * kDay, false},
        {"400 days old without nextUpdate", kNow - 400 * kDay, 0, false},
        {"8 days old without nextUpdate", kNow - 8 * kDay, 0, false},
        {"a day old without nextUpdate", kNow - kDay, 0, true},
        {"thisUpdate 4 minutes ahead: within the leeway", kNow + 4 * kMinute, kNow + 3600, true},
        {"thisUpdate 6 minutes ahead", kNow + 6 * kMinute, kNow + 3600, false},
        {"nextUpdate 4 minutes past: within the leeway", kNow - 3600, kNow - 4 * kMinute, true},
        {"nextUpdate 6 minutes past", kNow - 3600, kNow - 6 * kMinute, false},
        {"nextUpdate before thisUpdate", kNow - 60, kNow - 2 * kMinute, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Answer(c.thisUpdate, c.nextUpdate).IsFresh(kNow), c.fresh) << c.name;
}

TEST(OcspFreshness, LeewayAndMaxAgeAreParameters)
{
    SingleResponse ahead = Answer(kNow + kMinute, kNow + 3600);
    EXPECT_TRUE(ahead.IsFresh(kNow));
    EXPECT_FALSE(ahead.IsFresh(kNow, 0));
    EXPECT_TRUE(ahead.IsFresh(kNow, 2 * kMinute));

    SingleResponse expired = Answer(kNow - 2 * kDay, kNow - kDay);
    EXPECT_FALSE(expired.IsFresh(kNow));
    EXPECT_TRUE(expired.IsFresh(kNow, 2 * kDay));

    SingleResponse undated = Answer(kNow - 3 * kDay, 0);
    EXPECT_TRUE(undated.IsFresh(kNow));
    EXPECT_FALSE(undated.IsFresh(kNow, SingleResponse::kDefaultLeewaySeconds, 2 * kDay));
    EXPECT_TRUE(Answer(kNow - 400 * kDay, 0).IsFresh(kNow, SingleResponse::kDefaultLeewaySeconds, 401 * kDay));
    // The max age is for answers without nextUpdate only: a long-lived answer stays current.
    EXPECT_TRUE(Answer(kNow - 30 * kDay, kNow + kDay).IsFresh(kNow, SingleResponse::kDefaultLeewaySeconds, kDay));
}

TEST(OcspFreshness, UnreadableTimesAreStaleNotErrors)
{
    BasicSpec spec;
    spec.singles = {{&Pki().SigningLeaf()}};
    spec.thisUpdate = kNow - 3600;
    BasicPtr built = BuildBasic(spec);
    ASN1_GENERALIZEDTIME* thisUpdate = nullptr;
    ASN1_GENERALIZEDTIME* nextUpdate = nullptr;
    OCSP_single_get0_status(OCSP_resp_get0(built.get(), 0), nullptr, nullptr, &thisUpdate, &nextUpdate);
    ASSERT_TRUE(thisUpdate && nextUpdate);
    ASSERT_TRUE(SingleOf(built.get()).IsFresh(kNow));

    ASN1_STRING_set(nextUpdate, "20261399120000Z", -1);  // month 13, day 99
    LogCapture log(TvrOCSP::SetLogger);
    EXPECT_FALSE(SingleOf(built.get()).IsFresh(kNow));
    EXPECT_NE(log.warn.str().find("OCSP answer is not current: nextUpdate is unreadable"), std::string::npos)
        << log.warn.str();
    ASN1_STRING_set(thisUpdate, "2026060112000", -1);  // one digit short
    EXPECT_FALSE(SingleOf(built.get()).IsFresh(kNow));
}
