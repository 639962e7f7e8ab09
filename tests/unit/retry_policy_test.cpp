#include "download/retry_policy.h"

#include <gtest/gtest.h>

#include <set>

using namespace bi;

TEST(RetryPolicy, OnlyTimeOutsThrottlingAndPassingServerFaultsAreTransientStatuses) {
    const std::set<long> transient = {408, 429, 500, 502, 503, 504};
    for (long s : {200L, 206L, 304L, 400L, 403L, 404L, 407L, 408L, 416L, 429L, 500L, 501L, 502L, 503L, 504L, 505L}) {
        EXPECT_EQ(isTransientStatus(s), transient.count(s) > 0) << s;
    }
}

TEST(RetryPolicy, AnUnreachableServerIsRetriedOnlyOnceItWasReachedInThisRun) {
    using K = net::TransferErrorKind;
    // clang-format off
    const struct { K kind; bool responded, reachedBefore, transient, unreachable; } rows[] = {
        {K::ConnectionLost, true, false, true, false}, {K::Refused, false, false, false, true}, {K::Refused, false, true, true, true},
        {K::UnknownHost, false, false, false, true}, {K::UnknownHost, false, true, true, true}, {K::TimedOut, false, false, false, true},
        {K::TimedOut, false, true, true, true}, {K::TimedOut, true, false, true, false}, {K::Tls, false, true, false, false},
        {K::BadRange, true, true, false, false}, {K::DiskFull, true, true, false, false}, {K::ProxyAuth, true, true, false, false},
    };
    // clang-format on
    for (const auto& r : rows) {
        const net::TransferError error{r.kind, "", "", r.responded};
        EXPECT_EQ(std::make_pair(isTransientError(error, r.reachedBefore), isUnreachable(error)),
                  std::make_pair(r.transient, r.unreachable))
            << int(r.kind) << " responded " << r.responded << " reached " << r.reachedBefore;
    }
}

TEST(RetryPolicy, WaitsDoubleFromOneSecondOrAreTheServersRetryAfterUpToThirtySeconds) {
    // clang-format off
    const struct { int next; std::optional<std::string> after; double scale; long ms; } rows[] = {
        {2, {}, 1, 1000}, {3, {}, 1, 2000}, {4, {}, 1, 4000}, {4, {}, 0.5, 2000}, {2, "3", 0.01, 30}, {2, "7", 1, 7000}, {4, "0", 1, 0},
        {2, "30", 1, 30000}, {2, "31", 1, 30000}, {3, "99999999999999999999", 1, 30000}, {2, "-5", 1, 1000}, {2, "5s", 1, 1000},
        {2, "Wed, 21 Oct 2015 07:28:00 GMT", 1, 0}, {3, "Fri, 31 Dec 9999 23:59:59 GMT", 1, 30000}, {2, "Wed, 21 Oct 2015", 1, 1000},
    };
    // clang-format on
    for (const auto& r : rows) {
        EXPECT_EQ(retryWait(r.next, r.after, r.scale).count(), r.ms)
            << r.next << " " << r.after.value_or("-") << " " << r.scale;
    }
}
