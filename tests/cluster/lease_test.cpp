// A lease's bookkeeping: when it counts as alive, and who hears, once, that
// it is lost.
#include "cluster/lease.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace zelm::detail {
namespace {

using namespace std::chrono_literals;

constexpr auto ttl = std::chrono::seconds(5);

struct Timing {
    char const* name;
    std::chrono::nanoseconds granted_ago;
    bool alive;
};

void PrintTo(Timing const& timing, std::ostream* out) { *out << timing.name; }

// Alive until the time-to-live less the margin (one second of five) has
// passed since the grant was sent.
class LeaseTiming : public testing::TestWithParam<Timing> {};

TEST_P(LeaseTiming, AliveOnlyWithinTheTimeToLiveLessTheMargin) {
    Lease lease(1, ttl, BootClock::now() - GetParam().granted_ago);
    EXPECT_EQ(lease.alive(), GetParam().alive);
    EXPECT_EQ(lease.lost_reason().has_value(), !GetParam().alive);
}

INSTANTIATE_TEST_SUITE_P(Leases, LeaseTiming,
                         testing::Values(Timing{"JustGranted", 0s, true}, Timing{"WellWithin", 3s, true},
                                         Timing{"InsideTheMargin", 4100ms, false},
                                         Timing{"PastTheTimeToLive", 6s, false}),
                         [](testing::TestParamInfo<Timing> const& timing) { return std::string(timing.param.name); });

TEST(Lease, RenewalFromAKeepAliveSentLaterExtendsItButNeverShortensIt) {
    auto const start = BootClock::now();
    Lease lease(1, ttl, start - 3s);
    lease.renewed(start, ttl);
    EXPECT_EQ(lease.alive_until(), start + ttl - lease_margin(ttl));
    lease.renewed(start - 2s, ttl);  // an older keep-alive answered late
    EXPECT_EQ(lease.alive_until(), start + ttl - lease_margin(ttl));
}

TEST(Lease, ALostLeaseStaysLostWhateverKeepAliveAnswersLater) {
    Lease lease(1, ttl, BootClock::now());
    lease.lose("revoked");
    lease.renewed(BootClock::now(), ttl);
    EXPECT_FALSE(lease.alive());
    EXPECT_EQ(lease.lost_reason(), "revoked");
}

TEST(Lease, ListenersHearOnceWithTheFirstReason) {
    Lease lease(1, ttl, BootClock::now());
    std::vector<std::string> heard;
    lease.listen([&](std::string const& reason) { heard.push_back("a:" + reason); });
    lease.listen([&](std::string const& reason) { heard.push_back("b:" + reason); });
    lease.lose("first");
    lease.lose("second");
    EXPECT_EQ(heard, (std::vector<std::string>{"a:first", "b:first"}));
}

TEST(Lease, ListeningToALostLeaseHearsAtOnce) {
    Lease lease(1, ttl, BootClock::now());
    lease.lose("gone");
    std::string heard;
    lease.listen([&](std::string const& reason) { heard = reason; });
    EXPECT_EQ(heard, "gone");
}

TEST(Lease, ALeaseThatRanOutTellsItsListenersWhenAsked) {
    Lease lease(1, ttl, BootClock::now() - 10s);
    int calls = 0;
    lease.listen([&](std::string const&) { ++calls; });
    EXPECT_TRUE(lease.lost_reason().has_value());
    EXPECT_TRUE(lease.lost_reason().has_value());
    EXPECT_EQ(calls, 1);
}

TEST(Lease, ForgottenListenersAreNotCalled) {
    Lease lease(1, ttl, BootClock::now());
    bool called = false;
    auto const number = lease.listen([&](std::string const&) { called = true; });
    lease.forget(number);
    lease.lose("gone");
    EXPECT_FALSE(called);
}

// A listener may drop what it listens for (the host destroys the device in
// its callback): forgetting from within the call must not wait for itself.
TEST(Lease, AListenerMayForgetItselfWhileCalled) {
    Lease lease(1, ttl, BootClock::now());
    std::uint64_t number = 0;
    bool forgot = false;
    number = lease.listen([&](std::string const&) {
        lease.forget(number);
        forgot = true;
    });
    lease.lose("gone");
    EXPECT_TRUE(forgot);
}

// Forgetting on another thread waits for a call in progress, so that what
// the listener uses is not destroyed under it.
TEST(Lease, ForgettingWaitsForACallInProgressOnAnotherThread) {
    Lease lease(1, ttl, BootClock::now());
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    auto const number = lease.listen([&](std::string const&) {
        inside = true;
        std::this_thread::sleep_for(200ms);
        finished = true;
    });
    std::thread loser([&] { lease.lose("gone"); });
    while (!inside) {
        std::this_thread::yield();
    }
    lease.forget(number);
    EXPECT_TRUE(finished);
    loser.join();
}

}  // namespace
}  // namespace zelm::detail
