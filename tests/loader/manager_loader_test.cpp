// get_device_manager: one live manager per plug-in file, reload after
// release, every error message of the loader, the broken plug-ins, failed
// loads that leave the cache as it was, and releases and reloads that never
// wait for another thread's plug-in code.
#include <zelm/device_manager.hpp>

#include "loader/manager_cache.hpp"
#include "test_support.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <latch>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zelm::test::count_events;
using zelm::test::read_events;
using zelm::test::read_events_without_pid;
using zelm::test::runtime_error_of;

class ManagerLoader : public ::testing::Test {
protected:
    void SetUp() override {
        events = dir.path() / "events.log";
        setenv(zelm::test::broken_plugin_events_variable, events.c_str(), 1);
    }
    void TearDown() override { unsetenv(zelm::test::broken_plugin_events_variable); }

    fs::path install(std::string const& name = "loader_manager.so") {
        return zelm::test::install_test_plugin(dir.path(), name, {{"events", events.native()}});
    }
    std::size_t count(std::string const& event) const { return count_events(read_events(events), event); }

    zelm::test::TempDir dir;
    fs::path events;
};

// Generous: only a loader that waits for plug-in code of another thread ever
// takes this long.
constexpr auto bound = 20s;

// Whether `event` shows up in the log at `path` within `bound`.
bool event_seen(fs::path const& path, std::string const& event) {
    auto const deadline = std::chrono::steady_clock::now() + bound;
    while (count_events(read_events(path), event) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

template <typename Result>
bool done_in_time(std::future<Result> const& future) {
    return future.wait_for(bound) == std::future_status::ready;
}

// Creates the file that a waiting test plug-in waits for, at the latest on
// destruction, so that a failed check never leaves plug-in code blocked.
class GateFile {
public:
    explicit GateFile(fs::path file) : file_(std::move(file)) {}
    ~GateFile() { open(); }
    GateFile(GateFile const&) = delete;
    GateFile& operator=(GateFile const&) = delete;

    void open() const { std::ofstream{file_}; }

private:
    fs::path file_;
};

bool plugin_loaded(fs::path const& plugin) {
    void* handle = dlopen(fs::canonical(plugin).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

TEST_F(ManagerLoader, OneManagerPerFileWhateverThePath) {
    auto const plugin = install();
    auto const link = dir.path() / "link_manager.so";
    fs::create_symlink(plugin, link);
    auto const relative = fs::relative(plugin, fs::current_path());
    ASSERT_TRUE(relative.is_relative());

    auto const manager = zelm::get_device_manager(plugin);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(zelm::get_device_manager(plugin), manager);
    EXPECT_EQ(zelm::get_device_manager(link), manager);
    EXPECT_EQ(zelm::get_device_manager(relative), manager);
    EXPECT_EQ(count("create"), 1u);
    EXPECT_EQ(manager->get_name(), "test");
    EXPECT_EQ(manager->get_path(), fs::canonical(plugin));
}

TEST_F(ManagerLoader, ReloadAfterReleaseDeletesThenClosesThenCreatesAnew) {
    auto const plugin = install();
    auto manager = zelm::get_device_manager(plugin);
    auto again = zelm::get_device_manager(plugin);
    manager.reset();
    EXPECT_EQ(count("manager_destroyed"), 0u) << "a handle still holds the manager";
    again.reset();
    EXPECT_EQ(read_events_without_pid(events), (std::vector<std::string>{"create", "manager_destroyed", "unload"}));

    manager = zelm::get_device_manager(plugin);
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(count("create"), 2u);
    EXPECT_EQ(manager->list_devices(), "[]") << "the reloaded manager works";
}

TEST_F(ManagerLoader, ConcurrentRequestsShareOneManager) {
    auto const plugin = install();
    constexpr int thread_count = 8;
    std::vector<std::shared_ptr<zelm::DeviceManager>> managers(thread_count);
    std::latch start(thread_count);
    std::vector<std::jthread> threads;
    for (int i = 0; i < thread_count; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            managers[i] = zelm::get_device_manager(plugin);
        });
    }
    threads.clear();
    for (auto const& manager : managers) {
        EXPECT_NE(manager, nullptr);
        EXPECT_EQ(manager, managers.front());
    }
    EXPECT_EQ(count("create"), 1u);
}

TEST_F(ManagerLoader, MissingPathsAreNotFound) {
    fs::create_symlink(dir.path() / "gone.so", dir.path() / "dangling_manager.so");
    for (fs::path const& path : {dir.path() / "absent_manager.so", fs::path(), dir.path() / "dangling_manager.so",
                                 fs::path("relative_absent_manager.so")}) {
        EXPECT_EQ(runtime_error_of([&] { zelm::get_device_manager(path); }),
                  "Device Manager not found: " + path.native());
    }
}

TEST_F(ManagerLoader, DirectoriesAreNotRegularFiles) {
    auto const directory = dir.path() / "dir_manager.so";
    fs::create_directory(directory);
    auto const link = dir.path() / "dir_link_manager.so";
    fs::create_directory_symlink(directory, link);
    for (auto const& path : {directory, link}) {
        EXPECT_EQ(runtime_error_of([&] { zelm::get_device_manager(path); }), "Not a regular file: " + path.native());
    }
}

TEST_F(ManagerLoader, FileThatIsNoLibraryReportsTheLoaderError) {
    auto const fake = dir.path() / "fake_manager.so";
    std::ofstream(fake) << "not a shared library\n";
    auto const link = dir.path() / "fake_link_manager.so";
    fs::create_symlink(fake, link);
    auto const canonical = fs::canonical(fake).native();

    ASSERT_EQ(dlopen(canonical.c_str(), RTLD_LAZY), nullptr);
    std::string const reason = dlerror();
    EXPECT_EQ(runtime_error_of([&] { zelm::get_device_manager(link); }),
              "Failed to load library: " + canonical + " [dlerror]: " + reason);
}

TEST_F(ManagerLoader, LibraryWithoutEntryPointIsClosedAgain) {
    auto const canonical = fs::canonical(zelm::test::no_entry_plugin_path).native();
    EXPECT_EQ(runtime_error_of([] { zelm::get_device_manager(zelm::test::no_entry_plugin_path); }),
              "Device Manager missing create_manager: " + canonical);
    EXPECT_EQ(count("unload"), 1u);
}

// A plug-in whose create_manager fails, and the error that the loader gives.
struct FailingCreation {
    char const* name;
    fs::path plugin;
    std::string reason;  // after "Failed to create manager: <canonical> "; empty: an int 42 passes through
};

void PrintTo(FailingCreation const& creation, std::ostream* out) { *out << creation.name; }

class FailingCreate : public ManagerLoader, public ::testing::WithParamInterface<FailingCreation> {
protected:
    void expect_failure() {
        auto const& param = GetParam();
        if (param.reason.empty()) {
            try {
                zelm::get_device_manager(param.plugin);
                ADD_FAILURE() << "no exception";
            } catch (int value) {
                EXPECT_EQ(value, 42);
            }
            return;
        }
        EXPECT_EQ(runtime_error_of([&] { zelm::get_device_manager(param.plugin); }),
                  "Failed to create manager: " + fs::canonical(param.plugin).native() + " " + param.reason);
    }
};

TEST_P(FailingCreate, ClosesTheLibraryExactlyOnceAndTriesAgainNextTime) {
    auto const canonical = fs::canonical(GetParam().plugin).native();

    // Our own reference keeps the library loaded unless the loader closes
    // more than it opened.
    void* extra = dlopen(canonical.c_str(), RTLD_LAZY);
    ASSERT_NE(extra, nullptr) << dlerror();
    expect_failure();
    expect_failure();
    EXPECT_EQ(count("create"), 2u) << "each call tries afresh";
    EXPECT_EQ(count("unload"), 0u) << "closed more often than opened";
    dlclose(extra);
    // An exception outside the standard family may need the plug-in's code
    // for as long as it lives, so that plug-in stays loaded for good.
    bool const pinned = GetParam().reason.empty();
    EXPECT_EQ(count("unload"), pinned ? 0u : 1u);

    expect_failure();
    EXPECT_EQ(count("create"), 3u);
    EXPECT_EQ(count("unload"), pinned ? 0u : 2u) << "the library stays loaded after a failed creation";
}

INSTANTIATE_TEST_SUITE_P(
    BrokenPlugins, FailingCreate,
    ::testing::Values(FailingCreation{"runtime_error", zelm::test::throwing_plugin_path, "boom"},
                      FailingCreation{"int", zelm::test::int_throwing_plugin_path, ""},
                      FailingCreation{"null", zelm::test::null_plugin_path, "create_manager returned no manager"}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

TEST_F(ManagerLoader, CreateManagerFailureOfTheConfigurablePluginThenSuccess) {
    auto const plugin = zelm::test::install_test_plugin(dir.path(), "flaky_manager.so",
                                                        {{"events", events.native()}, {"create_throws", "not yet"}});
    EXPECT_EQ(runtime_error_of([&] { zelm::get_device_manager(plugin); }),
              "Failed to create manager: " + fs::canonical(plugin).native() + " not yet");
    zelm::test::write_plugin_config(plugin, {{"events", events.native()}});
    auto const manager = zelm::get_device_manager(plugin);
    EXPECT_NE(manager, nullptr);
    EXPECT_EQ(count("create"), 2u);
}

// Releasing a manager runs its destructor and closes its library without
// the loader's lock, so it never waits for a load of another plug-in.
TEST_F(ManagerLoader, ReleaseCompletesWhileAnotherPluginIsBeingCreated) {
    auto const slow_events = dir.path() / "slow_events.log";
    auto const gate_file = dir.path() / "create.gate";
    auto const slow = zelm::test::install_test_plugin(
        dir.path(), "slow_manager.so", {{"events", slow_events.native()}, {"create_waits_for", gate_file.native()}});
    auto quick = zelm::get_device_manager(install());

    std::future<std::shared_ptr<zelm::DeviceManager>> loading;
    std::future<void> releasing;
    GateFile const gate(gate_file);  // opened before the futures are waited for on the way out
    loading = std::async(std::launch::async, [&] { return zelm::get_device_manager(slow); });
    ASSERT_TRUE(event_seen(slow_events, "create"));
    releasing = std::async(std::launch::async, [manager = std::move(quick)]() mutable { manager.reset(); });

    EXPECT_TRUE(done_in_time(releasing)) << "the release waited for another plug-in's create_manager";
    EXPECT_EQ(count("manager_destroyed"), 1u);
    gate.open();
    ASSERT_TRUE(done_in_time(loading));
    EXPECT_NE(loading.get(), nullptr);
}

// A request that meets a manager whose destructor still runs finds it gone
// and loads the plug-in anew at once; both library references are given
// back in the end.
TEST_F(ManagerLoader, ReloadCompletesWhileThePreviousManagerIsStillBeingDeleted) {
    auto const gate_file = dir.path() / "destroy.gate";
    auto const plugin = zelm::test::install_test_plugin(
        dir.path(), "lingering_manager.so", {{"events", events.native()}, {"destroy_waits_for", gate_file.native()}});
    auto first = zelm::get_device_manager(plugin);
    auto const* const first_address = first.get();

    std::future<void> releasing;
    std::future<std::shared_ptr<zelm::DeviceManager>> reloading;
    GateFile const gate(gate_file);
    releasing = std::async(std::launch::async, [manager = std::move(first)]() mutable { manager.reset(); });
    ASSERT_TRUE(event_seen(events, "manager_destroying"));
    reloading = std::async(std::launch::async, [&] { return zelm::get_device_manager(plugin); });

    ASSERT_TRUE(done_in_time(reloading)) << "the load waited for the previous manager's destructor";
    auto second = reloading.get();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second.get(), first_address);
    EXPECT_EQ(count("create"), 2u);
    EXPECT_EQ(count("manager_destroyed"), 0u) << "the first destructor has not finished yet";

    gate.open();
    ASSERT_TRUE(done_in_time(releasing));
    EXPECT_EQ(count("unload"), 0u) << "the new manager's library was closed under it";
    EXPECT_EQ(second->list_devices(), "[]");
    second.reset();
    EXPECT_EQ(count("manager_destroyed"), 2u);
    EXPECT_FALSE(plugin_loaded(plugin)) << "a library reference was never given back";
}

// However a load fails, the cache is left as it was: failed paths never
// accumulate entries.
TEST_F(ManagerLoader, FailedLoadsLeaveTheCacheAsItWas) {
    auto& loaded = zelm::detail::loaded_managers();
    auto const cache_size = [&] {
        std::lock_guard const lock(loaded.cache_mutex);
        return loaded.cache.size();
    };
    {
        std::lock_guard const lock(loaded.cache_mutex);
        loaded.cache.clear();
    }
    for (int i = 0; i < 5; ++i) {
        auto const suffix = std::to_string(i) + "_manager.so";
        auto const fake = dir.path() / ("fake_" + suffix);
        std::ofstream(fake) << "not a shared library\n";
        auto const no_entry = dir.path() / ("no_entry_" + suffix);
        fs::copy_file(zelm::test::no_entry_plugin_path, no_entry);
        auto const throwing = dir.path() / ("throwing_" + suffix);
        fs::copy_file(zelm::test::throwing_plugin_path, throwing);
        auto const flaky = zelm::test::install_test_plugin(dir.path(), "flaky_" + suffix,
                                                            {{"events", events.native()}, {"create_throws", "no"}});
        for (auto const& path : {fake, no_entry, throwing, flaky}) {
            EXPECT_THROW(zelm::get_device_manager(path), std::runtime_error) << path;
        }
    }
    EXPECT_EQ(cache_size(), 0u);

    auto const manager = zelm::get_device_manager(install());
    EXPECT_EQ(cache_size(), 1u) << "a successful load is cached";
}

}  // namespace
