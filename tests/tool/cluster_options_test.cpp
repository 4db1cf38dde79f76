// The tool's part of lab-wide ownership that needs no server: joining from
// its global options, and how a holder on another host is shown.
#include "cluster_options.hpp"
#include "device_owner.hpp"
#include "usage_error.hpp"

#include <zelm/cluster.hpp>

#include <gtest/gtest.h>

namespace zelm::tool {
namespace {

struct Shown {
    std::optional<DeviceOwner> owner;
    std::string text;
    char const* json;
};

TEST(OwnerDisplay, NamesTheHostOnlyWhenKnownAndReadsBackWhatItWrites) {
    Shown const cases[] = {
        {DeviceOwner{4242, "zelm"}, "4242 (zelm)", R"({"pid":4242,"command":"zelm"})"},
        {DeviceOwner{4242, "zelm", "host-b"}, "4242 (zelm) on host-b",
         R"({"pid":4242,"command":"zelm","host":"host-b"})"},
        {DeviceOwner{7, std::nullopt, "host-b"}, "7 on host-b", R"({"pid":7,"command":null,"host":"host-b"})"},
        // Text as others wrote it: whatever prints the line escapes it, once.
        {DeviceOwner{7, "a\nb", "h\x1b"}, "7 (a\nb) on h\x1b", R"({"pid":7,"command":"a\nb","host":"h\u001b"})"},
        {std::nullopt, "unknown", "null"},
    };
    for (auto const& shown : cases) {
        SCOPED_TRACE(shown.text);
        EXPECT_EQ(owner_text(shown.owner), shown.text);
        EXPECT_EQ(owner_json(shown.owner).dump(), shown.json);
        EXPECT_EQ(owner_from_json(nlohmann::json::parse(shown.json)), shown.owner);
    }
}

TEST(OwnerDisplay, AHolderOnThisMachineCarriesThisHostsIdInACluster) {
    zelm::DeviceOwner const here{31, "sleep"};
    EXPECT_EQ(local_holder(here), (DeviceOwner{31, "sleep", std::nullopt}));
    cluster::Options options;
    options.host_id = "bench-3";
    cluster::join({"http://127.0.0.1:9"}, options);
    EXPECT_EQ(local_holder(here), (DeviceOwner{31, "sleep", "bench-3"}));
    cluster::leave();
    EXPECT_EQ(lab_holder({.host = "host-b", .pid = 5, .command = "", .user = "lab", .since = "2026-01-01T00:00:00Z"}), (DeviceOwner{5, std::nullopt, "host-b"}));
}

struct BadOptions {
    ClusterOptions options;
    char const* named;  // what the error must say
};

TEST(ClusterOptions, BadEndpointsHostIdsAndTimesAreUsageErrors) {
    BadOptions const cases[] = {
        {{.endpoints = "ftp://10.0.0.5"}, "Bad cluster endpoint: ftp://10.0.0.5"},
        {{.endpoints = "http://10.0.0.5:2379,not a url"}, "Bad cluster endpoint: not a url"},
        {{.endpoints = "http://10.0.0.5:2379", .host_id = "rack/1"}, "Bad cluster host id: rack/1"},
        {{.endpoints = "http://10.0.0.5:2379", .host_id = "a\tb"}, "Bad cluster host id"},
        {{.endpoints = "http://10.0.0.5:2379", .ttl = 1}, "Bad cluster time-to-live: 1 s"},
    };
    for (auto const& bad : cases) {
        SCOPED_TRACE(bad.named);
        try {
            join_cluster(bad.options);
            ADD_FAILURE() << "joined";
        } catch (UsageError const& e) {
            EXPECT_NE(std::string(e.what()).find(bad.named), std::string::npos) << e.what();
        }
        EXPECT_FALSE(cluster::joined());
    }
}

TEST(ClusterOptions, JoinsOnlyWithEndpoints) {
    for (auto const* none : {"", ",", ",,"}) {
        join_cluster({.endpoints = none});
        EXPECT_FALSE(cluster::joined()) << none;
    }
    join_cluster({.endpoints = "http://127.0.0.1:9,http://127.0.0.1:10", .host_id = "host-a", .ttl = 3});
    EXPECT_TRUE(cluster::joined());
    EXPECT_EQ(cluster::host_id(), "host-a");
    cluster::leave();
}

}  // namespace
}  // namespace zelm::tool
