// query_device and last_cached_answer through the shared library, as hosts
// call them: one device answered as a scan answers it, an owned device never
// opened but shown as it last answered, and cache files that other users may
// have written.
#include "log_capture.hpp"
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace zelm {
namespace {

using nlohmann::json;
using test::count_events;
using test::read_events;

class DeviceQuery : public testing::Test {
protected:
    DeviceQuery() {
        config_["events"] = events_.native();
        path_ = test::install_test_plugin(plugins_.path(), "query_manager.so", config_);
    }

    std::size_t opens() const { return count_events(read_events(events_), "open"); }

    // The cache file of `device`, as a scan names it.
    std::filesystem::path cache_file(json const& device) const {
        return tmpdir_.lock_directory() / (detail::make_lock_id(get_device_manager(path_)->get_path(), device) + ".lock");
    }

    // A child process that owns `device` until it is destroyed.
    std::unique_ptr<test::ChildProcess> hold(json const& device) const {
        auto holder = std::make_unique<test::ChildProcess>([this, device](test::ChildProcess& self) {
            auto owned = get_device_manager(path_)->open_managed_device(device.dump());
            self.send();
            self.receive();
            return 0;
        });
        EXPECT_EQ(holder->receive(), '.');
        return holder;
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    std::filesystem::path events_ = plugins_.path() / "events";
    json devices_ = json::parse(R"([{"serial":"ok","status":{"API":"q"}},{"serial":"bad","info_error":"no sensor"}])");
    json config_ = {{"devices", devices_}};
    std::filesystem::path path_;
    test::LogCapture log_;
};

TEST_F(DeviceQuery, FreeDeviceIsQueriedOnceThenAnsweredFromTheCacheAsAScanAnswersIt) {
    auto const first = query_device(path_, R"({ "serial" : "ok", "status" : { "API" : "q" } })");
    auto const second = query_device(path_, devices_[0].dump());
    auto const scanned = scan_devices({path_});

    auto const& found = std::get<DeviceFound>(first);
    EXPECT_EQ(found.plugin_path, path_.native());
    EXPECT_EQ(found.description, devices_[0].dump());
    EXPECT_EQ(found.serial_number, "ok");
    EXPECT_EQ(found.api, "q");
    EXPECT_EQ(std::get<DeviceFound>(second).info, found.info);
    EXPECT_EQ(std::get<DeviceFound>(scanned.at(0)).info, found.info);
    EXPECT_EQ(opens(), 2u);  // each device once: the scan's second device too
}

TEST_F(DeviceQuery, FailedQueryIsAFailedResultAndStaysTheLastAnswer) {
    auto const queried = query_device(path_, devices_[1].dump());
    auto const holder = hold(devices_[1]);

    auto const last = last_cached_answer(path_, devices_[1].dump());

    EXPECT_EQ(std::get<DeviceQueryFailed>(queried).error, "no sensor");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(std::get<DeviceQueryFailed>(last->result).error, "no sensor");
}

TEST_F(DeviceQuery, OwnedDeviceIsNotOpenedAndItsLastAnswerIsKeptHoweverOld) {
    query_device(path_, devices_[0].dump());
    auto const an_hour_ago = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    std::filesystem::last_write_time(cache_file(devices_[0]), an_hour_ago);
    auto const holder = hold(devices_[0]);

    auto const now = query_device(path_, devices_[0].dump());
    auto const last = last_cached_answer(path_, devices_[0].dump());

    EXPECT_EQ(std::get<DeviceOccupied>(now).description, devices_[0].dump());
    EXPECT_EQ(opens(), 2u);  // the first query's and the holder's
    ASSERT_TRUE(last.has_value());
    auto const& found = std::get<DeviceFound>(last->result);
    EXPECT_EQ(found.plugin_path, path_.native());
    EXPECT_EQ(found.serial_number, "ok");
    EXPECT_EQ(found.status, R"({"API":"q"})");
    EXPECT_GE(last->age, std::chrono::minutes(59));
}

TEST_F(DeviceQuery, OwnedDeviceNeverQueriedHasNoLastAnswer) {
    auto const holder = hold(devices_[0]);

    EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(query_device(path_, devices_[0].dump())));
    EXPECT_FALSE(last_cached_answer(path_, devices_[0].dump()).has_value());
    EXPECT_EQ(opens(), 1u);  // the holder's
}

TEST_F(DeviceQuery, DescriptionThatIsNotJsonIsAParseError) {
    EXPECT_THROW(query_device(path_, "serial=ok"), json::parse_error);
    EXPECT_THROW(last_cached_answer(path_, "serial=ok"), json::parse_error);
}

// What another user may have left in a device's cache file.
struct HostileFile {
    char const* name;
    std::function<void(std::filesystem::path const& file, json const& record)> plant;
};

void PrintTo(HostileFile const& file, std::ostream* out) { *out << file.name; }

class HostileCacheFile : public DeviceQuery, public testing::WithParamInterface<HostileFile> {};

TEST_P(HostileCacheFile, ReadsAsNoAnswer) {
    query_device(path_, devices_[0].dump());
    auto const file = cache_file(devices_[0]);
    auto const record = json::parse(test::read_file(file));
    std::filesystem::remove(file);
    GetParam().plant(file, record);
    auto const holder = hold(devices_[0]);

    EXPECT_FALSE(last_cached_answer(path_, devices_[0].dump()).has_value());
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

INSTANTIATE_TEST_SUITE_P(
    Files, HostileCacheFile,
    testing::Values(
        HostileFile{"Empty", [](auto const& file, auto const&) { std::ofstream{file}; }},
        HostileFile{"NotJson", [](auto const& file, auto const&) { std::ofstream(file) << "\x1b]0;owned\x07 {"; }},
        HostileFile{"NotAnObject", [](auto const& file, auto const&) { std::ofstream(file) << "[1,2,3]"; }},
        HostileFile{"ErrorNotAString",
                    [](auto const& file, auto record) {
                        record["error"] = 5;
                        std::ofstream(file) << record.dump();
                    }},
        HostileFile{"Huge",
                    [](auto const& file, auto record) {
                        record["info"]["padding"] = std::string(1 << 20, 'x');
                        std::ofstream(file) << record.dump();
                    }},
        HostileFile{"Deep",
                    [](auto const& file, auto const& record) {
                        auto const text = record.dump();
                        std::ofstream(file) << text.substr(0, text.size() - 1) << R"(,"deep":)" << nested(20000)
                                            << "}";
                    }},
        HostileFile{"AnotherDevicesRecord",
                    [](auto const& file, auto record) {
                        record["device"] = json{{"serial", "other"}};
                        std::ofstream(file) << record.dump();
                    }},
        HostileFile{"SymbolicLinkToARecord",
                    [](auto const& file, auto const& record) {
                        auto const target = file.parent_path().parent_path() / "planted";
                        std::ofstream(target) << record.dump();
                        std::filesystem::create_symlink(target, file);
                    }}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace zelm
