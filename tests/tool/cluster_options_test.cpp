// The tool's part of lab-wide ownership that needs no server: joining from
// its global options, and how a holder on another host is shown.
#include "cluster_options.hpp"
#include "holder_output.hpp"
#include "usage_error.hpp"

#include <zelm/cluster.hpp>

#include <gtest/gtest.h>

namespace zelm::tool {
namespace {

struct Shown {
    std::optional<DeviceHolder> holder;
    std::string text;
    char const* json;
};

// The user, the time and whether the holder is lab-wide are not shown: the
// output keeps the members that scripts read.
TEST(HolderDisplay, NamesTheHostOnlyWhenKnown) {
    Shown const cases[] = {
        {DeviceHolder{4242, "zelm", "ann", std::nullopt, "2026-01-01T00:00:00Z", false}, "4242 (zelm)",
         R"({"pid":4242,"command":"zelm"})"},
        {DeviceHolder{4242, "zelm", std::nullopt, "host-b", std::nullopt, true}, "4242 (zelm) on host-b",
         R"({"pid":4242,"command":"zelm","host":"host-b"})"},
        {DeviceHolder{7, std::nullopt, std::nullopt, "host-b", std::nullopt, true}, "7 on host-b",
         R"({"pid":7,"command":null,"host":"host-b"})"},
        // Text as others wrote it: whatever prints the line escapes it, once.
        {DeviceHolder{7, "a\nb", std::nullopt, "h\x1b", std::nullopt, true}, "7 (a\nb) on h\x1b",
         R"({"pid":7,"command":"a\nb","host":"h\u001b"})"},
        {std::nullopt, "unknown", "null"},
    };
    for (auto const& shown : cases) {
        SCOPED_TRACE(shown.text);
        EXPECT_EQ(holder_text(shown.holder), shown.text);
        EXPECT_EQ(by_holder(shown.holder), shown.holder ? " by process " + shown.text : "");
        EXPECT_EQ(holder_json(shown.holder).dump(), shown.json);
    }
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
