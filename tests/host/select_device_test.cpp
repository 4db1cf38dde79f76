// select_device over real plug-ins: what it queries, a serial number that
// names a held device by its last answer, and plug-ins that cannot be
// searched.
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zelm {
namespace {

using nlohmann::json;

class SelectDevice : public testing::Test {
protected:
    std::filesystem::path plugin(std::string const& name, json config) {
        config["events"] = events_.native();
        return test::install_test_plugin(plugins_.path(), name, config);
    }
    std::size_t events(std::string const& event) const {
        return test::count_events(test::read_events(events_), event);
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    std::filesystem::path events_ = plugins_.path() / "events";
    json const devices_ = json::array({{{"serial", "S1"}, {"model", "m"}}, {{"serial", "S2"}, {"model", "m"}}});
};

TEST_F(SelectDevice, DescriptionOrFilterQueriesNoDevice) {
    auto const path = plugin("s_manager.so", {{"devices", devices_}});
    for (auto const* text : {R"({"model":"m","serial":"S2"})", "serial=S2"}) {
        auto const selected = select_device({path}, DeviceSelector::parse(text));
        EXPECT_EQ(selected.description, devices_[1].dump()) << text;
        EXPECT_EQ(selected.plugin_path, path);
        ASSERT_NE(selected.manager, nullptr);
    }
    EXPECT_EQ(events("open"), 0U);
}

TEST_F(SelectDevice, SerialNumberNamesAFreeDeviceByItsAnswer) {
    auto const path = plugin("s_manager.so", {{"devices", devices_}});
    EXPECT_EQ(select_device({path}, DeviceSelector::parse("S2")).description, devices_[1].dump());
}

// A held device is not queried; the serial number it showed when it was last
// free still names it, so that a host can wait for it by that name.
TEST_F(SelectDevice, SerialNumberNamesAHeldDeviceByItsLastAnswer) {
    auto const path = plugin("s_manager.so", {{"devices", devices_}});
    auto const description = devices_[1].dump();
    scan_devices({path});  // S2 answers while free
    test::ChildProcess holder([&](test::ChildProcess& self) {
        auto const owned = get_device_manager(path)->open_managed_device(description);
        self.send();
        self.receive();
        return 0;
    });
    ASSERT_EQ(holder.receive(), '.');

    auto const selected = select_device({path}, DeviceSelector::parse("S2"));
    EXPECT_EQ(selected.description, description);
    EXPECT_THROW(selected.manager->open_managed_device(selected.description), DeviceOccupiedError);
    holder.send();
    EXPECT_EQ(holder.wait(), 0);
}

TEST_F(SelectDevice, HeldDeviceNeverQueriedHereIsNotGuessed) {
    auto const path = plugin("s_manager.so", {{"devices", devices_}});
    test::ChildProcess holder([&](test::ChildProcess& self) {
        auto const owned = get_device_manager(path)->open_managed_device(devices_[1].dump());
        self.send();
        self.receive();
        return 0;
    });
    ASSERT_EQ(holder.receive(), '.');
    try {
        select_device({path}, DeviceSelector::parse("S2"));
        FAIL();
    } catch (NoMatchingDeviceError const& error) {
        EXPECT_THAT(error.what(), testing::HasSubstr("never queried on this machine"));
        EXPECT_FALSE(error.incomplete());
    }
    holder.send();
    EXPECT_EQ(holder.wait(), 0);
}

TEST_F(SelectDevice, PluginThatCannotBeSearchedFailsTheSearchOrIsLeftOut) {
    auto const good = plugin("good_manager.so", {{"devices", devices_}});
    auto const unlistable = plugin("bad_manager.so", {{"list_throws", "bus down"}});
    auto const missing = plugins_.path() / "missing_manager.so";
    for (auto const* text : {"S1", "model=m,serial=S1"}) {
        auto const selector = DeviceSelector::parse(text);
        EXPECT_THROW(select_device({missing, good}, selector), PluginLoadError) << text;
        EXPECT_EQ(test::runtime_error_of([&] { select_device({unlistable, good}, selector); }),
                  "cannot list the devices of bad_manager.so: bus down")
            << text;

        SelectOptions const skipping{.searched = "the plug-ins here", .skip_failed_plugins = true};
        EXPECT_EQ(select_device({missing, unlistable, good}, selector, skipping).description, devices_[0].dump());
        try {
            select_device({missing, unlistable, good}, DeviceSelector::parse("model=none"), skipping);
            FAIL();
        } catch (NoMatchingDeviceError const& error) {
            EXPECT_TRUE(error.incomplete());
            EXPECT_THAT(error.what(), testing::StartsWith("no device listed by the plug-ins here matches the filter "
                                                          "model=none; 2 plug-ins could not be searched, the first: "
                                                          "Device Manager not found: "));
        }
    }
}

}  // namespace
}  // namespace zelm
