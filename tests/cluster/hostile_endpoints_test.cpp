// Endpoints that are not the etcd they claim to be, or that no longer
// answer: the library's errors say what came, and its waits and memory stay
// bounded.
#include "hostile_endpoints.hpp"
#include "lab_test_support.hpp"

#include <zelm/cluster.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/scan.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

namespace zelm::cluster_test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using HostileEndpoints = LabTest;

void join(std::vector<std::string> const& endpoints) {
    cluster::join(endpoints, {.host_id = "host-a", .ttl = test_ttl});
}

std::string acquisition_error(DeviceManager& manager) {
    try {
        manager.open_managed_device(lab_device);
    } catch (cluster::UnavailableError const& e) {
        return e.what();
    }
    return "owned, or failed otherwise";
}

TEST_F(HostileEndpoints, NumbersThatAreNoNumbersAreNamedInTheError) {
    for (auto const* id : {R"("abc")", R"("")", R"("12x")", R"("99999999999999999999")", R"([1])", "1.5"}) {
        ScriptedEndpoint const peer(json_reply(fmt::format(R"({{"ID":{},"TTL":"2"}})", id)));
        join({peer.url()});
        EXPECT_THAT(acquisition_error(manager()),
                    AllOf(StartsWith("Cluster unavailable: "), HasSubstr(std::string("answered ") + id + " for \"ID\"")))
            << id;
        cluster::leave();
    }
}

// A peer that streams without end would grow the process without bound.
// The request may take long enough for the limit to come first, also in a
// sanitizer build.
TEST_F(HostileEndpoints, EndlessAnswerIsCutOffAtTheLimit) {
    ScriptedEndpoint const peer(endless_reply());
    cluster::join({peer.url()}, {.host_id = "host-a", .ttl = 30s, .request_timeout = 7s});
    try {
        cluster::lab_owners();
        ADD_FAILURE() << "an endless answer was taken";
    } catch (cluster::UnavailableError const& e) {
        EXPECT_THAT(e.what(), HasSubstr("answer larger than 32 MiB"));
    }
}

// Members that take connections and never answer cost one request time
// each (417 ms for the test's time-to-live), one more, and half a second
// before the scan goes on: about 2.2 s for three, where each used to cost
// two rounds of two seconds (12.5 s in all).
TEST_F(HostileEndpoints, ScanWithEveryMemberSilentEndsWithinItsBound) {
    SilentEndpoint const a;
    SilentEndpoint const b;
    SilentEndpoint const c;
    join({a.url(), b.url(), c.url()});
    auto const started = std::chrono::steady_clock::now();
    auto const results = scan_devices({sim_plugin});
    auto const took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, 6s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    ASSERT_EQ(results.size(), 2U);
    auto const* failed = std::get_if<DeviceQueryFailed>(&results[0]);
    ASSERT_TRUE(failed) << "the lab-wide device was not reported as failed";
    EXPECT_THAT(failed->error, StartsWith("Cluster unavailable: "));
}

}  // namespace
}  // namespace zelm::cluster_test
