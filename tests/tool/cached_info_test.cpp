// `zelm info` and `zelm status` from what scans know, across processes: a
// free device is asked once for every command and scan within the cache's
// lifetime, and a device that `zelm hold` holds is shown as it last answered,
// never opened, with its holder named.
#include "tool_test_support.hpp"

#include <gtest/gtest.h>

namespace zelm::tool_test {
namespace {

using nlohmann::json;

class CachedInfo : public ToolTest {
protected:
    void SetUp() override {
        use_sim_config({{"open_log", opens_log.native()}, {"devices", {{{"description", device}}}}});
    }

    Outcome on(std::vector<std::string> command) const {
        command.insert(command.end(), {sim_plugin.native(), device.dump()});
        return run_zelm(command);
    }

    std::size_t opens() const { return lines_of(test::read_file(opens_log)).size(); }

    json const device{{"serial", "C-1"}};
    std::filesystem::path const opens_log = scratch() / "opens.log";
};

TEST_F(CachedInfo, FreeDeviceIsAskedOnceForInfoStatusAndScans) {
    auto const info = on({"info"});
    auto const status = on({"status"});
    auto const scanned = run_json({"scan", "--json", "--plugin", sim_plugin.native()});

    ASSERT_EQ(info.status, 0) << info.err;
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(info.err, "");
    EXPECT_EQ(json::parse(info.out), scanned.at(0).at("info"));
    EXPECT_EQ(json::parse(status.out), scanned.at(0).at("status"));
    EXPECT_EQ(opens(), 1U);
}

TEST_F(CachedInfo, HeldDeviceShowsItsLastAnswerAndItsHolderWithoutBeingOpened) {
    auto const before = on({"info"});
    ASSERT_EQ(before.status, 0) << before.err;
    Holder holder(sim_plugin, device);
    ASSERT_TRUE(holder.holding());
    auto const holder_name = "occupied by process " + std::to_string(holder.process().pid()) + " (zelm)";

    auto const info = on({"info"});
    auto const status = on({"status"});
    auto const live = on({"info", "--live"});

    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, before.out);
    ASSERT_EQ(lines_of(info.err).size(), 1U) << info.err;
    EXPECT_NE(info.err.find(holder_name + "; its last answer, "), std::string::npos) << info.err;
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_TRUE(json::parse(status.out).is_object()) << status.out;
    EXPECT_EQ(live.status, 3) << live.err;
    EXPECT_NE(live.err.find("Device is already occupied by process"), std::string::npos) << live.err;
    EXPECT_EQ(opens(), 2U);  // the first info's and the holder's
}

TEST_F(CachedInfo, HeldDeviceNeverQueriedIsAnError) {
    Holder holder(sim_plugin, device);
    ASSERT_TRUE(holder.holding());

    auto const info = on({"info"});

    EXPECT_EQ(info.status, 1);
    EXPECT_EQ(info.out, "");
    ASSERT_EQ(lines_of(info.err).size(), 1U) << info.err;
    EXPECT_NE(info.err.find("never queried"), std::string::npos) << info.err;
    EXPECT_EQ(opens(), 1U);  // the holder's
}

}  // namespace
}  // namespace zelm::tool_test
