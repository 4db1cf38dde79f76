// The library from many threads at once: threads scanning the same plug-in
// (the in-process query cache and the loader's cache), threads getting and
// dropping the same manager while its plug-in is loaded and unloaded, and
// threads owning and releasing the same devices through managed devices
// while another scans them. Each test checks the outcome that must hold
// whatever the interleaving; ThreadSanitizer watches the interleavings.
#include <zelm/zelm.hpp>

#include "scan/query_cache.hpp"
#include "test_support.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <barrier>
#include <chrono>
#include <latch>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using zelm::test::count_events;
using zelm::test::read_events;

constexpr int device_count = 3;

// Cache records never age while the clocks stand still, so every count of
// device queries below is exact however slowly the threads run.
class FrozenCacheClocks {
public:
    FrozenCacheClocks() : saved_(zelm::detail::cache_clocks()) {
        steady_ = std::chrono::steady_clock::now();
        file_ = std::chrono::file_clock::now();
        zelm::detail::cache_clocks() = {.steady_now = [] { return steady_; }, .file_now = [] { return file_; }};
    }
    ~FrozenCacheClocks() { zelm::detail::cache_clocks() = saved_; }
    FrozenCacheClocks(FrozenCacheClocks const&) = delete;
    FrozenCacheClocks& operator=(FrozenCacheClocks const&) = delete;

private:
    static inline std::chrono::steady_clock::time_point steady_;
    static inline std::chrono::file_clock::time_point file_;
    zelm::detail::CacheClocks saved_;
};

std::string kind_of(zelm::ScanResult const& result) {
    if (auto const* failed = std::get_if<zelm::DeviceQueryFailed>(&result)) {
        return "failed: " + failed->error;
    }
    return std::holds_alternative<zelm::DeviceOccupied>(result) ? "occupied" : "found";
}

// As listed (a manager opens only a listed description's compact text), with
// a short delay that keeps queries in flight while other threads arrive.
std::string description_of(int device) {
    return json{{"serial", "T" + std::to_string(device)}, {"delay_ms", 5}}.dump();
}

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override {
        json devices = json::array();
        for (int device = 0; device < device_count; ++device) {
            devices.push_back(json::parse(description_of(device)));
        }
        plugin = zelm::test::install_test_plugin(plugins.path(), "threads_manager.so",
                                                 {{"events", events.native()}, {"devices", devices}});
    }

    std::size_t count(std::string const& event) const { return count_events(read_events(events), event); }
    bool plugin_loaded() const {
        void* handle = dlopen(fs::canonical(plugin).c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (handle != nullptr) {
            dlclose(handle);
        }
        return handle != nullptr;
    }
    // Every manager that was created is destroyed and the plug-in is gone.
    // A load may meet the previous manager's destructor still running and
    // create the next manager in the same, still loaded library, so the
    // plug-in unloads at most once per manager.
    void expect_everything_released() const {
        EXPECT_GE(count("create"), 1u);
        EXPECT_EQ(count("create"), count("manager_destroyed"));
        EXPECT_GE(count("unload"), 1u);
        EXPECT_LE(count("unload"), count("create")) << "unloaded more often than loaded";
        EXPECT_FALSE(plugin_loaded());
    }

    zelm::test::ScopedTmpdir tmpdir;
    zelm::test::TempDir plugins;
    fs::path const events = plugins.path() / "events.log";
    fs::path plugin;
    FrozenCacheClocks clocks;
};

TEST_F(Concurrency, ThreadsScanningOnePluginQueryEachDeviceOnce) {
    constexpr int thread_count = 4;
    constexpr int scans_per_thread = 3;
    std::latch start(thread_count);
    std::vector<std::vector<zelm::ScanResults>> results(thread_count);
    {
        std::vector<std::jthread> threads;
        for (auto& own : results) {
            threads.emplace_back([&] {
                start.arrive_and_wait();
                for (int scan = 0; scan < scans_per_thread; ++scan) {
                    own.push_back(zelm::scan_devices({plugin, plugin}));
                }
            });
        }
    }
    for (auto const& own : results) {
        for (auto const& scan : own) {
            ASSERT_EQ(scan.size(), 2u * device_count);
            for (std::size_t i = 0; i < scan.size(); ++i) {
                auto const* found = std::get_if<zelm::DeviceFound>(&scan[i]);
                ASSERT_NE(found, nullptr) << "result " << i << " is " << kind_of(scan[i]);
                EXPECT_EQ(found->serial_number, "T" + std::to_string(i % device_count));
            }
        }
    }
    EXPECT_EQ(count("open"), static_cast<std::size_t>(device_count)) << "one query per device for every scan";
    expect_everything_released();
}

// Threads that hold a manager at the same moment hold the same one; once
// all have let go, the plug-in is unloaded, and the next request loads it
// afresh, whichever path spelling each thread uses.
TEST_F(Concurrency, ThreadsHoldingAManagerTogetherShareOneAndTheLastUnloadsIt) {
    constexpr int thread_count = 4;
    constexpr int rounds = 5;
    auto const link = plugins.path() / "threads_link_manager.so";
    fs::create_symlink(plugin, link);
    std::vector<std::shared_ptr<zelm::DeviceManager>> held(thread_count);
    std::vector<zelm::DeviceManager*> shared_per_round;
    std::vector<bool> loaded_after_round;
    std::barrier all_hold(thread_count, [&]() noexcept {
        shared_per_round.push_back(held.front().get());
        for (auto const& manager : held) {
            if (manager.get() != held.front().get()) {
                shared_per_round.back() = nullptr;
            }
        }
    });
    std::barrier all_released(thread_count, [&]() noexcept { loaded_after_round.push_back(plugin_loaded()); });
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < thread_count; ++t) {
            threads.emplace_back([&, t] {
                for (int round = 0; round < rounds; ++round) {
                    held[t] = zelm::get_device_manager(t % 2 == 0 ? plugin : link);
                    all_hold.arrive_and_wait();
                    held[t].reset();
                    all_released.arrive_and_wait();
                }
            });
        }
    }
    ASSERT_EQ(shared_per_round.size(), static_cast<std::size_t>(rounds));
    for (auto const* manager : shared_per_round) {
        EXPECT_NE(manager, nullptr) << "threads holding at the same moment got different managers";
    }
    EXPECT_EQ(loaded_after_round, std::vector<bool>(rounds, false));
    EXPECT_EQ(count("create"), static_cast<std::size_t>(rounds));
    expect_everything_released();
}

// Without any rhythm: threads get, use and drop the manager at random, so
// loads race with the last release (and its unload) of another thread.
// Whatever happens, all holders at any moment hold one manager.
TEST_F(Concurrency, LoadsRacingUnloadsNeverGiveTwoLiveManagers) {
    constexpr int thread_count = 4;
    constexpr int requests_per_thread = 40;
    std::mutex holders_mutex;
    std::map<zelm::DeviceManager*, int> holders;  // manager → threads holding it now
    std::atomic<int> two_live{0};
    std::atomic<int> broken{0};
    {
        std::vector<std::jthread> threads;
        for (int t = 0; t < thread_count; ++t) {
            threads.emplace_back([&] {
                for (int request = 0; request < requests_per_thread; ++request) {
                    auto manager = zelm::get_device_manager(plugin);
                    {
                        std::lock_guard guard(holders_mutex);
                        ++holders[manager.get()];
                        two_live += holders.size() > 1 ? 1 : 0;
                    }
                    if (json::parse(manager->list_devices()).size() != device_count) {
                        ++broken;
                    }
                    {
                        std::lock_guard guard(holders_mutex);
                        if (--holders[manager.get()] == 0) {
                            holders.erase(manager.get());
                        }
                    }
                    manager.reset();
                }
            });
        }
    }
    EXPECT_EQ(two_live.load(), 0);
    EXPECT_EQ(broken.load(), 0);
    expect_everything_released();
}

// Workers own devices through managed devices, each dropping its manager
// handle at once so that the device alone keeps the plug-in loaded, while a
// scanner scans the same devices. The per-device slot, which the library
// does not see, proves that no two owners ever overlap.
TEST_F(Concurrency, ThreadsOwningTheSameDevicesNeverOverlap) {
    constexpr int worker_count = 3;
    constexpr int acquisitions_per_worker = 15;
    std::array<std::atomic<int>, device_count> owner_of{};
    std::atomic<int> overlaps{0};
    std::atomic<int> wrong_answers{0};
    std::atomic<int> conflicts{0};
    std::atomic<int> workers_left{worker_count};
    std::atomic<int> scan_failures{0};

    auto const own_once = [&](int worker, int device) {
        auto manager = zelm::get_device_manager(plugin);
        auto const description = description_of(device);
        std::unique_ptr<zelm::Device> owned;
        try {
            owned = manager->manage_device(manager->open_device(description), description);
        } catch (std::runtime_error const& error) {
            if (std::string(error.what()) != "Device is already occupied") {
                throw;
            }
            ++conflicts;
            return false;
        }
        manager.reset();
        int nobody = 0;
        if (!owner_of[device].compare_exchange_strong(nobody, worker + 1)) {
            ++overlaps;
        }
        if (owned->get_info() != zelm::TextResult(json{{"Serial Number", "T" + std::to_string(device)}}.dump())) {
            ++wrong_answers;
        }
        owner_of[device].store(0);
        return true;
    };

    {
        std::vector<std::jthread> threads;
        for (int worker = 0; worker < worker_count; ++worker) {
            threads.emplace_back([&, worker] {
                for (int acquired = 0, attempt = 0; acquired < acquisitions_per_worker; ++attempt) {
                    acquired += own_once(worker, (worker + attempt) % device_count) ? 1 : 0;
                }
                --workers_left;
            });
        }
        threads.emplace_back([&] {
            while (workers_left.load() > 0) {
                for (auto const& result : zelm::scan_devices({plugin})) {
                    scan_failures += std::holds_alternative<zelm::DeviceQueryFailed>(result) ? 1 : 0;
                }
            }
        });
    }
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrong_answers.load(), 0);
    EXPECT_EQ(scan_failures.load(), 0);
    for (auto const& result : zelm::scan_devices({plugin})) {
        EXPECT_TRUE(std::holds_alternative<zelm::DeviceFound>(result)) << "every owner has released its device";
    }
    RecordProperty("conflicts", conflicts.load());
    expect_everything_released();
}

}  // namespace
