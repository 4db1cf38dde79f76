// ManagedDevice through the configurable test plug-in: ownership for exactly
// its lifetime, forwarding of every operation, the order in which lock,
// device, manager and plug-in go, and streams that outlive their device.
#include <zelm/managed_device.hpp>

#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using zelm::test::count_events;
using zelm::test::read_events_without_pid;
using zelm::test::runtime_error_of;
using Lines = std::vector<std::string>;

class ManagedDevice : public ::testing::Test {
protected:
    void SetUp() override {
        plugin = zelm::test::install_test_plugin(plugins.path(), "managed_manager.so", config());
        manager = zelm::get_device_manager(plugin);
    }

    json config(json extra = json::object()) const {
        extra["events"] = events.native();
        return extra;
    }
    std::unique_ptr<zelm::Device> manage(std::string const& description) {
        return manager->manage_device(manager->open_device(description), description);
    }
    std::string lock_id(std::string const& description) const {
        return zelm::detail::make_lock_id(manager->get_path(), json::parse(description));
    }
    Lines events_log() const { return read_events_without_pid(events); }
    std::size_t count(std::string const& event) const { return count_events(events_log(), event); }
    // The last `n` events.
    Lines last(std::size_t n) const {
        auto const all = events_log();
        return Lines(all.end() - static_cast<std::ptrdiff_t>(std::min(n, all.size())), all.end());
    }

    zelm::test::ScopedTmpdir tmpdir;
    zelm::test::TempDir plugins;
    fs::path const events = plugins.path() / "events.log";
    fs::path plugin;
    std::shared_ptr<zelm::DeviceManager> manager;
};

TEST_F(ManagedDevice, OwnsTheDeviceExactlyWhileItLives) {
    std::string const description = R"({"serial":"M1"})";
    auto device = manage(description);
    ASSERT_NE(device, nullptr);
    EXPECT_NE(dynamic_cast<zelm::ManagedDevice*>(device.get()), nullptr);
    EXPECT_TRUE(zelm::detail::is_device_occupied(lock_id(description)));
    EXPECT_EQ(device->get_info(), zelm::TextResult(R"({"Serial Number":"M1"})"));

    device.reset();
    EXPECT_FALSE(zelm::detail::is_device_occupied(lock_id(description)));
}

TEST_F(ManagedDevice, SecondOwnerOfOneDeviceIsRefusedAndItsDeviceDestroyed) {
    std::string const description = R"({"serial":"M2"})";
    auto const first = manage(description);
    EXPECT_EQ(runtime_error_of([&] { manage(R"({ "serial" : "M2" })"); }), "Device is already occupied");
    EXPECT_EQ(count("open"), 2u);
    EXPECT_EQ(count("device_destroyed"), 1u) << "the refused device object is gone";
    EXPECT_TRUE(first->get_info().has_value()) << "the first owner is unaffected";
    EXPECT_TRUE(zelm::detail::is_device_occupied(lock_id(description)));
}

TEST_F(ManagedDevice, FailedLockDestroysTheDevicePassedIn) {
    // A link planted at the lock directory: the lock file cannot be opened.
    fs::create_directory(tmpdir.path() / "elsewhere");
    fs::create_directory_symlink(tmpdir.path() / "elsewhere", tmpdir.lock_directory());
    std::string const description = R"({"serial":"M3"})";
    auto const message = runtime_error_of([&] { manage(description); });
    EXPECT_TRUE(message.starts_with("Cannot open device lock file: " +
                                    zelm::test::ownership_lock_file(lock_id(description)).native() + ": "))
        << message;
    EXPECT_THROW(manage("not json"), json::parse_error);
    EXPECT_EQ(count("device_destroyed"), 2u);
}

// What a careless host may pass to the lock-first call, and a plug-in that
// fails to open: nothing stays locked, and a device is opened only once its
// lock is held.
TEST_F(ManagedDevice, OpenManagedDeviceOpensOnlyWhatItLockedAndKeepsNothingOnFailure) {
    EXPECT_THROW(manager->open_managed_device(""), json::parse_error);
    EXPECT_THROW(manager->open_managed_device("not json"), json::parse_error);
    EXPECT_FALSE(fs::exists(tmpdir.lock_directory())) << "no file touched for a description that is not JSON";

    std::string const failing = R"({"open_throws":"no such port","serial":"F1"})";
    EXPECT_EQ(runtime_error_of([&] { manager->open_managed_device(failing); }), "no such port");
    EXPECT_FALSE(zelm::detail::is_device_occupied(lock_id(failing))) << "the lock went with the failed open";

    std::string const held = R"({"serial":"F2"})";
    auto const owner = manager->open_managed_device(R"({ "serial" : "F2" })");
    ASSERT_NE(owner, nullptr);
    EXPECT_TRUE(zelm::detail::is_device_occupied(lock_id(held)));
    auto const opens = count("open");
    EXPECT_EQ(runtime_error_of([&] { manager->open_managed_device(held); }), "Device is already occupied");
    EXPECT_EQ(count("open"), opens) << "the loser never opens the device";
}

TEST_F(ManagedDevice, EmptyDescriptionTakesNoLock) {
    auto const first = manager->manage_device(manager->open_device("{}"), "");
    auto const second = manager->manage_device(manager->open_device("{}"), "");
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_FALSE(fs::exists(tmpdir.lock_directory()));
}

TEST_F(ManagedDevice, PluginExceptionsAndTypesCrossTheLibraryBoundary) {
    zelm::test::write_plugin_config(plugin, config({{"list_throws", "listing failed"}}));
    EXPECT_EQ(runtime_error_of([&] { manager->list_devices(); }), "listing failed");
    zelm::test::write_plugin_config(plugin, config({{"list_throws_int", true}}));
    EXPECT_THROW(manager->list_devices(), int);
    EXPECT_EQ(runtime_error_of([&] { manager->open_device(R"({"open_throws":""})"); }), "");
    EXPECT_THROW(manager->open_device(R"({"open_throws_int":true})"), int);

    auto const device = manage(R"({"throw_in":"get_info"})");
    try {
        device->get_info();
        ADD_FAILURE() << "no exception";
    } catch (std::exception const& error) {
        EXPECT_NE(dynamic_cast<std::runtime_error const*>(&error), nullptr);
        EXPECT_STREQ(error.what(), "get_info failed");
    }
}

// One forwarded operation: called on a wrapper of a device opened from
// `description`, it gives `expected`; on a device whose "throw_in" names
// `operation`, the device's exception comes through.
struct Forwarded {
    char const* operation;
    json description;
    std::function<std::string(zelm::Device&)> call;
    std::string expected;
};

void PrintTo(Forwarded const& forwarded_call, std::ostream* out) { *out << forwarded_call.operation; }

std::string text_of(zelm::TextResult const& result) {
    return result ? "value:" + *result : "error:" + result.error();
}

Forwarded const forwarded[] = {
    {"set_register", {{"set_register_result", 5}},
     [](zelm::Device& d) { return std::to_string(d.set_register(1, 2, 3)); }, "5"},
    {"send_registers", {{"send_registers_result", -6}},
     [](zelm::Device& d) { return std::to_string(d.send_registers()); }, "-6"},
    {"read_registers", {{"read_registers_result", 7}},
     [](zelm::Device& d) { return std::to_string(d.read_registers()); }, "7"},
    {"get_register", json::object(),
     [](zelm::Device& d) {
         d.set_register(4, 0xabcdef, 0);
         d.send_registers();
         d.read_registers();
         return std::to_string(d.get_register(4));
     },
     std::to_string(0xabcdef)},
    {"trigger", json::object(), [](zelm::Device& d) { return std::to_string(d.trigger(30, 12)); }, "42"},
    {"write", json::object(),
     [](zelm::Device& d) {
         unsigned char const data[] = {'h', 'e', 'l', 'l', 'o'};
         return std::to_string(d.write(100, sizeof data, data));
     },
     "5"},
    {"read", json::object(),
     [](zelm::Device& d) {
         unsigned char const data[] = {'b', 'y', 't', 'e', 's'};
         d.write(200, sizeof data, data);
         unsigned char buffer[5] = {};
         int const count = d.read(200, sizeof buffer, buffer);
         return std::to_string(count) + ":" + std::string(buffer, buffer + sizeof buffer);
     },
     "5:bytes"},
    {"start_read_stream", json::object(),
     [](zelm::Device& d) {
         std::string seen;
         auto stream = d.start_read_stream(
             0, [&seen](zelm::DataStream::Event&& event) { seen += std::to_string(event.index()); }, 64);
         if (!stream) {
             return std::string("no stream");
         }
         return std::to_string(stream->stop()) + " " + std::to_string(stream->wait_stop()) + " events " + seen;
     },
     "11 12 events 0"},
    {"get_status", {{"status_text", "not json"}}, [](zelm::Device& d) { return text_of(d.get_status()); },
     "value:not json"},
    {"get_info", {{"info", {{"Serial Number", 17}, {"x", true}}}},
     [](zelm::Device& d) { return text_of(d.get_info()); }, R"(value:{"Serial Number":17,"x":true})"},
    {"get_info", {{"info_error", "unplugged"}}, [](zelm::Device& d) { return text_of(d.get_info()); },
     "error:unplugged"},
};

class ForwardedOperation : public ManagedDevice, public ::testing::WithParamInterface<Forwarded> {};

TEST_P(ForwardedOperation, ReturnsTheDevicesResult) {
    auto const device = manage(GetParam().description.dump());
    EXPECT_EQ(GetParam().call(*device), GetParam().expected);
}

TEST_P(ForwardedOperation, PassesTheDevicesExceptionThrough) {
    std::string const operation = GetParam().operation;
    auto description = GetParam().description;
    description["throw_in"] = operation;
    auto const device = manage(description.dump());
    EXPECT_EQ(runtime_error_of([&] { GetParam().call(*device); }), operation + " failed");
    if (operation != "trigger") {
        EXPECT_EQ(device->trigger(1, 1), 2) << "the wrapper stays usable";
    } else {
        EXPECT_EQ(device->send_registers(), 0) << "the wrapper stays usable";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, ForwardedOperation, ::testing::ValuesIn(forwarded),
                         [](auto const& test_case) { return test_case.param.operation + std::to_string(test_case.index); });

TEST_F(ManagedDevice, SyncDefaultsRunOnTheForwardingOperations) {
    std::string const description = R"({"serial":"S"})";
    auto const device = manage(description);
    EXPECT_EQ(device->set_register_sync(5, 123, 0), 0);
    EXPECT_EQ(device->get_register_sync(5), std::optional<unsigned int>(123));
    EXPECT_EQ(last(4), (Lines{"set_register " + description, "send_registers " + description,
                              "read_registers " + description, "get_register " + description}));

    auto const failing_set = manage(R"({"set_register_result":5})");
    EXPECT_EQ(failing_set->set_register_sync(1, 1, 0), 1);
    auto const failing_send = manage(R"({"send_registers_result":6})");
    EXPECT_EQ(failing_send->set_register_sync(1, 1, 0), 6);
    auto const failing_read = manage(R"({"read_registers_result":3})");
    EXPECT_EQ(failing_read->get_register_sync(1), std::nullopt);

    EXPECT_EQ(count("send_registers"), 2u) << "not after a failed set_register";
    EXPECT_EQ(count("get_register"), 1u) << "not after a failed read_registers";
    EXPECT_EQ(count("own_sync"), 0u) << "the wrapped device's own overrides are never reached";
}

TEST_F(ManagedDevice, DestructionReleasesTheLockThenDestroysTheDeviceThenUnloads) {
    std::string const description = R"({"serial":"D1"})";
    auto const lock_file = zelm::test::ownership_lock_file(lock_id(description));
    zelm::test::write_plugin_config(plugin, config({{"probe_on_destroy", lock_file.native()}}));

    auto device = manage(description);
    // The probe can see a held lock: an unmanaged device of the same
    // description, destroyed while the wrapper holds the lock.
    manager->open_device(description).reset();
    EXPECT_EQ(last(1), (Lines{"device_destroyed " + description + " lock_free=0"}));

    manager.reset();
    EXPECT_EQ(count("manager_destroyed"), 0u) << "the wrapper keeps the manager";
    device.reset();
    EXPECT_EQ(last(3), (Lines{"device_destroyed " + description + " lock_free=1", "manager_destroyed", "unload"}));
}

TEST_F(ManagedDevice, StreamOutlivingItsDeviceKeepsThePluginButNotTheLock) {
    std::string const description = R"({"serial":"ST"})";
    auto const id = lock_id(description);
    auto device = manage(description);
    auto stops = std::make_shared<int>(0);
    auto stream = device->start_read_stream(
        1,
        [stops](zelm::DataStream::Event&& event) {
            if (std::holds_alternative<zelm::DataStream::Events::Stop>(event)) {
                ++*stops;
            }
        },
        8);
    ASSERT_NE(stream, nullptr);

    manager.reset();
    device.reset();
    EXPECT_EQ(count("device_destroyed"), 1u);
    EXPECT_EQ(count("manager_destroyed"), 0u);
    EXPECT_EQ(count("unload"), 0u);
    EXPECT_FALSE(zelm::detail::is_device_occupied(id));

    EXPECT_EQ(stream->stop(), 11);
    EXPECT_EQ(stream->wait_stop(), 12);
    EXPECT_EQ(*stops, 1);

    stream.reset();
    EXPECT_EQ(last(3), (Lines{"stream_destroyed " + description, "manager_destroyed", "unload"}));
}

TEST_F(ManagedDevice, NoStreamGivesAnEmptyHandle) {
    auto const device = manage(R"({"no_stream":true})");
    EXPECT_EQ(device->start_read_stream(0, [](zelm::DataStream::Event&&) {}, 8), nullptr);
    EXPECT_EQ(count("stream_destroyed"), 0u);
}

// A manager made by the test itself, for what the plug-in cannot stage.
class LocalManager final : public zelm::DeviceManager {
public:
    bool path_throws = false;
    std::string get_name() override { return "local"; }
    std::filesystem::path get_path() override {
        if (path_throws) {
            throw std::logic_error("no path");
        }
        return "/local/manager.so";
    }
    std::string list_devices() override { return "[]"; }
    std::string get_version() override { return "1"; }
    std::unique_ptr<zelm::Device> open_device(std::string const&) override { return {}; }
};

class LocalDevice final : public zelm::Device {
public:
    explicit LocalDevice(bool& destroyed) : destroyed_(destroyed) {}
    ~LocalDevice() override { destroyed_ = true; }
    int set_register(unsigned int, unsigned int, unsigned int) override { return 0; }
    int send_registers() override { return 0; }
    unsigned int get_register(unsigned int) override { return 0; }
    int read_registers() override { return 0; }
    int trigger(unsigned int, int) override { return 0; }
    int write(unsigned int, unsigned long, unsigned char const*) override { return 0; }
    int read(unsigned int, unsigned long, unsigned char*) override { return 0; }
    std::unique_ptr<DataStream> start_read_stream(unsigned int, zelm::DataStream::Callback&&, unsigned long) override {
        return {};
    }
    zelm::TextResult get_status() override { return "{}"; }
    zelm::TextResult get_info() override { return "{}"; }

private:
    bool& destroyed_;
};

TEST(ManagedDeviceOfALocalManager, ManagerWithoutSharedOwnerIsABadWeakPtr) {
    zelm::test::ScopedTmpdir const tmpdir;
    LocalManager manager;
    bool destroyed = false;
    EXPECT_THROW(manager.manage_device(std::make_unique<LocalDevice>(destroyed), "{}"), std::bad_weak_ptr);
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(fs::exists(tmpdir.lock_directory()));
}

TEST(ManagedDeviceOfALocalManager, GetPathExceptionPassesThroughAndTheDeviceIsDestroyed) {
    zelm::test::ScopedTmpdir const tmpdir;
    auto const manager = std::make_shared<LocalManager>();
    manager->path_throws = true;
    bool destroyed = false;
    EXPECT_THROW(manager->manage_device(std::make_unique<LocalDevice>(destroyed), "{}"), std::logic_error);
    EXPECT_TRUE(destroyed);

    manager->path_throws = false;
    bool kept_destroyed = false;
    auto device = manager->manage_device(std::make_unique<LocalDevice>(kept_destroyed), R"({"a":1})");
    EXPECT_TRUE(zelm::detail::is_device_occupied(zelm::detail::make_lock_id("/local/manager.so", json{{"a", 1}})));
    device.reset();
    EXPECT_TRUE(kept_destroyed);
}

}  // namespace
