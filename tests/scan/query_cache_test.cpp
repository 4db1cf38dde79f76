// The two-level query cache: what is stored where, freshness at both levels
// (through injected clocks, not sleeps), malformed cache files, and queries of
// one device from several threads.
#include "scan/cache_file.hpp"
#include "scan/device_scan.hpp"
#include "scan/process_cache.hpp"
#include "scan/query_cache.hpp"
#include "locking/lock_identity.hpp"
#include "locking/query_lock.hpp"
#include "locking/system_calls.hpp"

#include "log_capture.hpp"
#include "test_support.hpp"

#include <zelm/lock.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include <fstream>
#include <functional>
#include <optional>
#include <variant>
#include <sstream>
#include <thread>

namespace zelm::detail {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using test::count_events;
using test::read_events;
using test::read_file;

std::chrono::steady_clock::time_point fake_steady_now;
std::chrono::file_clock::time_point fake_file_now;

void write_file(std::filesystem::path const& path, std::string const& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Whether /proc/locks shows a process waiting for a flock on `file`.
bool someone_waits_for(std::filesystem::path const& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0) {
        return false;
    }
    auto const inode = ":" + std::to_string(status.st_ino) + " ";
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(inode) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// Polls `condition` for up to ten seconds.
template <typename Condition>
bool eventually(Condition const& condition) {
    for (int i = 0; i < 1000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class QueryCache : public testing::Test {
protected:
    void SetUp() override {
        plugin_ = test::install_test_plugin(plugins_.path(), "cache_manager.so", {{"events", events_.native()}});
        manager_ = get_device_manager(plugin_);
        process_cache().clear();
    }
    void TearDown() override {
        cache_clocks() = saved_clocks_;
        system_calls() = real_system_calls();
        process_cache().clear();
    }

    std::string manager_path() const { return manager_->get_path().native(); }
    std::string lock_id(json const& device) const { return make_lock_id(manager_->get_path(), device); }
    // The query of `device`, under its own lock identity or the one given.
    QueryAnswer query(json const& device, std::optional<std::string> const& identity = std::nullopt) const {
        auto const description = device.dump();
        auto const path = manager_path();
        auto const id = identity.value_or(lock_id(device));
        return query_device_cached(*manager_, {device, description, path, id}, LockDirectory::open());
    }
    // The answer's record; fails the test when the device counted as occupied.
    RenderedRecord answer(json const& device) const {
        auto const result = query(device);
        EXPECT_FALSE(result.occupied);
        return result.record ? *result.record : RenderedRecord{};
    }
    std::filesystem::path cache_file(json const& device) const {
        return tmpdir_.lock_directory() / (lock_id(device) + ".lock");
    }
    // The record the library writes for `device` around `members`, as text.
    std::string record_text(json const& device, json members) const {
        members["manager"] = manager_path();
        members["device"] = device;
        return members.dump();
    }
    std::size_t opens() const { return count_events(read_events(events_), "open"); }

    // Gives the steady clock a fixed value that the test moves by hand.
    static void freeze_steady_clock(std::chrono::steady_clock::time_point now) {
        fake_steady_now = now;
        cache_clocks().steady_now = [] { return fake_steady_now; };
    }
    // Makes the device's cache file unusable (a directory stands at its
    // name), so only the in-process level can answer.
    void disable_file_level(json const& device) const {
        std::filesystem::create_directories(cache_file(device));
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    std::filesystem::path events_ = plugins_.path() / "events";
    std::filesystem::path plugin_;
    std::shared_ptr<DeviceManager> manager_;
    CacheClocks saved_clocks_ = cache_clocks();
};

TEST_F(QueryCache, LiveAnswerIsStoredCompactlyInTheFileAndReusedWithoutOpening) {
    json const device = {{"serial", "A"}, {"info", {{"b", 1}, {"Serial Number", "\u00e9"}}}, {"status", {{"API", "x"}}}};

    auto const first = answer(device);
    EXPECT_TRUE(first.has_info);
    EXPECT_EQ(first.info, R"({"Serial Number":"é","b":1})");
    EXPECT_EQ(first.serial_number, "é");
    EXPECT_EQ(first.status, R"({"API":"x"})");
    EXPECT_EQ(first.api, "x");
    EXPECT_EQ(first.error, "");
    EXPECT_EQ(read_file(cache_file(device)),
              record_text(device, {{"info", {{"Serial Number", "é"}, {"b", 1}}}, {"status", {{"API", "x"}}}}));

    auto const second = answer(device);
    EXPECT_EQ(second.info, first.info);
    EXPECT_EQ(second.status, first.status);
    EXPECT_EQ(opens(), 1u);
}

TEST_F(QueryCache, ErrorTextIsCachedLikeAnAnswer) {
    json const device = {{"serial", "E"}, {"info_error", "sensor offline"}};

    EXPECT_EQ(answer(device).error, "sensor offline");
    EXPECT_EQ(read_file(cache_file(device)),
              record_text(device, {{"error", "sensor offline"}, {"status", {{"API", "test"}}}}));
    EXPECT_EQ(answer(device).error, "sensor offline");
    EXPECT_EQ(opens(), 1u);
}

TEST_F(QueryCache, InformationOrStatusThatIsNotJsonIsLeftOut) {
    json const device = {{"serial", "N"}, {"info_text", "not json"}, {"status_text", "{broken"}};

    auto const outcome = answer(device);
    EXPECT_FALSE(outcome.has_info);
    EXPECT_EQ(outcome.status, "");
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(read_file(cache_file(device)), record_text(device, json::object()));
    // A record without information is still an answer from the file: no second open.
    answer(device);
    EXPECT_EQ(opens(), 1u);
}

TEST_F(QueryCache, StatusErrorIsDropped) {
    json const device = {{"serial", "S"}, {"status_error", "no status"}};

    auto const outcome = answer(device);
    EXPECT_TRUE(outcome.has_info);
    EXPECT_EQ(outcome.status, "");
    EXPECT_FALSE(json::parse(read_file(cache_file(device))).contains("status"));
}

TEST_F(QueryCache, QueryThatThrowsIsLoggedAndNotCached) {
    json const device = {{"serial", "T"}, {"info_throws", "bus error"}};
    test::LogCapture log;

    EXPECT_EQ(answer(device).error, "bus error");
    EXPECT_THAT(log.lines(), testing::ElementsAre("error Failed to query device " + lock_id(device) + ": bus error"));
    EXPECT_EQ(read_file(cache_file(device)), "");

    EXPECT_EQ(answer(device).error, "bus error");
    EXPECT_EQ(opens(), 2u);
}

// A manager that breaks its contract by opening no device.
class NoDeviceManager final : public DeviceManager {
public:
    std::string get_name() override { return "none"; }
    std::filesystem::path get_path() override { return "/none_manager.so"; }
    std::string list_devices() override { return R"([{"serial":1},{"serial":2}])"; }
    std::string get_version() override { return "0"; }
    std::unique_ptr<Device> open_device(std::string const&) override { return {}; }
};

TEST_F(QueryCache, EmptyDeviceHandleFailsThatDeviceAndTheScanGoesOn) {
    auto const manager = std::make_shared<NoDeviceManager>();
    test::LogCapture log;

    for (json const& device : {json{{"serial", 1}}, json{{"serial", 2}}}) {
        auto const result = scan_device("none_manager.so", manager, device);
        ASSERT_TRUE(std::holds_alternative<DeviceQueryFailed>(result));
        EXPECT_EQ(std::get<DeviceQueryFailed>(result).error, "Device Manager returned no device: " + device.dump());
    }
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(QueryCache, DeviceIsClosedBeforeTheQueryLockIsReleased) {
    json const device = {{"serial", "C"}};
    test::write_plugin_config(plugin_, {{"events", events_.native()}, {"probe_on_destroy", cache_file(device).native()}});

    answer(device);
    auto const events = read_events(events_);
    EXPECT_EQ(count_events(events, "device_destroyed"), 1u);
    EXPECT_THAT(events, testing::Contains(testing::HasSubstr("lock_free=0")));
}

// A scan probes a device, may then wait for its query lock behind another
// querier, and opens it only afterwards: an owner may have come meanwhile.
TEST_F(QueryCache, OwnerThatCameWhileTheScanWaitedIsNeitherOpenedNorReportedFound) {
    json const device = {{"serial", "late owner"}};
    test::write_plugin_config(plugin_, {{"events", events_.native()}, {"devices", json::array({device})}});
    std::optional<InterprocessLock> querier(std::in_place, lock_id(device));  // another scan's query

    test::ChildProcess scanner([&](test::ChildProcess&) {
        auto const results = scan_devices({plugin_});
        return results.size() == 1 && std::holds_alternative<DeviceOccupied>(results.front()) ? 0 : 1;
    });
    ASSERT_TRUE(eventually([&] { return someone_waits_for(cache_file(device)); }));
    OwnershipLock const owner(lock_id(device), true);
    querier.reset();

    EXPECT_EQ(scanner.wait(), 0);
    EXPECT_EQ(opens(), 0u);
}

TEST_F(QueryCache, OwnerCannotTakeADeviceWhileAScanQueriesIt) {
    json const device = {{"serial", "being queried"}, {"delay_ms", 3000}};
    test::write_plugin_config(plugin_, {{"events", events_.native()}, {"devices", json::array({device})}});

    test::ChildProcess scanner([&](test::ChildProcess&) {
        auto const results = scan_devices({plugin_});
        return results.size() == 1 && std::holds_alternative<DeviceFound>(results.front()) ? 0 : 1;
    });
    ASSERT_TRUE(eventually([&] { return count_events(read_events(events_), "info") == 1; }));
    EXPECT_EQ(test::runtime_error_of([&] { OwnershipLock(lock_id(device), true); }), "Device is already occupied");

    EXPECT_EQ(scanner.wait(), 0);
    EXPECT_NO_THROW(OwnershipLock(lock_id(device), true));
}

TEST_F(QueryCache, InProcessEntryIsFreshForExactlyFiveSeconds) {
    json const device = {{"serial", "P"}};
    disable_file_level(device);
    auto const start = std::chrono::steady_clock::time_point(1000h);
    freeze_steady_clock(start);

    answer(device);
    fake_steady_now = start + 5s;
    EXPECT_TRUE(answer(device).has_info);
    EXPECT_EQ(opens(), 1u);

    fake_steady_now = start + 5s + 1ns;
    EXPECT_TRUE(answer(device).has_info);
    EXPECT_EQ(opens(), 2u);
}

TEST_F(QueryCache, StaleInProcessEntryGivesWayToAFreshFile) {
    json const device = {{"serial", "F"}};
    auto const start = std::chrono::steady_clock::time_point(1000h);
    freeze_steady_clock(start);
    answer(device);

    fake_steady_now = start + 6s;
    write_file(cache_file(device), record_text(device, {{"info", {{"Serial Number", "from file"}}}}));
    auto const outcome = answer(device);

    EXPECT_EQ(outcome.serial_number, "from file");
    EXPECT_EQ(opens(), 1u);
    auto const entry = process_cache().entry(lock_id(device));
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->stored_at, start + 6s);
    EXPECT_EQ(entry->record->info, R"({"Serial Number":"from file"})");
}

// Lock identities are 64-bit hashes: two descriptions may share one. Each
// level of the cache then keeps what its record answers for, and a record
// about the other device is a miss.
TEST_F(QueryCache, DevicesWhoseIdentitiesCollideNeverShareAnAnswer) {
    json const first = {{"serial", "first"}};
    json const second = {{"serial", "second"}};
    std::string const shared_identity = lock_id(first);

    EXPECT_EQ(query(first, shared_identity).record->serial_number, "first");
    EXPECT_EQ(query(second, shared_identity).record->serial_number, "second");  // not from this process's entry
    process_cache().clear();
    EXPECT_EQ(query(first, shared_identity).record->serial_number, "first");  // not from the file
    EXPECT_EQ(opens(), 3u);
}

struct ForeignRecord {
    char const* name;
    std::function<std::string(json const& device, std::string const& manager_path)> text;
};

void PrintTo(ForeignRecord const& test_case, std::ostream* out) { *out << test_case.name; }

class RecordAboutAnotherDevice : public QueryCache, public testing::WithParamInterface<ForeignRecord> {};

TEST_P(RecordAboutAnotherDevice, IsAMiss) {
    json const device = {{"serial", 7}};
    std::filesystem::create_directories(tmpdir_.lock_directory());
    write_file(cache_file(device), GetParam().text(device, manager_path()));

    EXPECT_EQ(answer(device).serial_number, "7");
    EXPECT_EQ(opens(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecordAboutAnotherDevice,
    testing::Values(
        ForeignRecord{"WithoutWhatItAnswersFor", [](json const&, std::string const&) {
                          return R"({"info":{"Serial Number":"forged"}})";
                      }},
        ForeignRecord{"OtherDevice",
                      [](json const&, std::string const& path) {
                          return json{{"device", {{"serial", 8}}}, {"info", {{"Serial Number", "forged"}}}, {"manager", path}}
                              .dump();
                      }},
        ForeignRecord{"SameValueOtherText",  // 7.0 is another description than 7
                      [](json const&, std::string const& path) {
                          return json{{"device", {{"serial", 7.0}}}, {"info", {{"Serial Number", "forged"}}}, {"manager", path}}
                              .dump();
                      }},
        ForeignRecord{"OtherManager",
                      [](json const& device, std::string const&) {
                          return json{{"device", device}, {"info", {{"Serial Number", "forged"}}}, {"manager", "/other.so"}}
                              .dump();
                      }},
        ForeignRecord{"OtherDeviceSpacedOut",  // the parsed record is checked, not only a compact text
                      [](json const&, std::string const& path) {
                          return json{{"device", {{"serial", 8}}}, {"info", {{"Serial Number", "forged"}}}, {"manager", path}}
                              .dump(1);
                      }}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

TEST_F(QueryCache, RecordAboutThisDeviceInAnotherWritersSpacingIsUsed) {
    json const device = {{"serial", 7}};
    std::filesystem::create_directories(tmpdir_.lock_directory());
    write_file(cache_file(device), json::parse(record_text(device, {{"info", {{"Serial Number", "cached"}}}})).dump(2));

    EXPECT_EQ(answer(device).serial_number, "cached");
    EXPECT_EQ(opens(), 0u);
}

TEST_F(QueryCache, CacheFileIsFreshForExactlyFiveSecondsOfFileTime) {
    json const device = {{"serial", "G"}};
    answer(device);
    auto const written = std::filesystem::last_write_time(cache_file(device));
    cache_clocks().file_now = [] { return fake_file_now; };
    InterprocessLock const lock(lock_id(device));
    auto const description = device.dump();
    auto const path = manager_path();
    auto const id = lock_id(device);
    QueriedDevice const queried{device, description, path, id};

    fake_file_now = written + 5s;
    EXPECT_TRUE(read_cache_file(lock, queried));
    fake_file_now = written + 5s + 1ns;
    EXPECT_FALSE(read_cache_file(lock, queried));
    // Written "in the future" (a clock stepped back): a skew up to the
    // lifetime is forgiven, a larger one is stale instead of fresh until then.
    fake_file_now = written - 5s;
    EXPECT_TRUE(read_cache_file(lock, queried));
    fake_file_now = written - 5s - 1ns;
    EXPECT_FALSE(read_cache_file(lock, queried));
    fake_file_now = written - 1h;
    EXPECT_FALSE(read_cache_file(lock, queried));
}

TEST_F(QueryCache, CacheFileWithAFarFutureOrFarPastTimeStampIsStale) {
    json const device = {{"serial", "far"}};
    answer(device);
    InterprocessLock const lock(lock_id(device));
    auto const description = device.dump();
    auto const path = manager_path();
    auto const id = lock_id(device);
    // Beyond what nanoseconds since 1970 can hold (the year 2262), both ways.
    for (time_t const seconds : {time_t{1} << 40, -(time_t{1} << 40), std::numeric_limits<time_t>::max(),
                                 std::numeric_limits<time_t>::min()}) {
        struct timespec const times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, cache_file(device).c_str(), times, 0), 0) << std::strerror(errno);
        EXPECT_FALSE(read_cache_file(lock, {device, description, path, id})) << seconds;
    }
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

std::string many_values(std::size_t count) {
    std::string text = "[";
    for (std::size_t i = 0; i < count; ++i) {
        text += i == 0 ? "[]" : ",[]";
    }
    return text + "]";
}

struct BadRecord {
    char const* name;
    std::string content;
};

void PrintTo(BadRecord const& test_case, std::ostream* out) { *out << test_case.name; }

class MalformedCacheFile : public QueryCache, public testing::WithParamInterface<BadRecord> {};

// Anyone on the machine can write a cache file. Whatever it holds, the result
// is at worst one live query of that one device, and the file is rewritten.
TEST_P(MalformedCacheFile, IsAMissAndIsRewritten) {
    json const device = {{"serial", GetParam().name}};
    json const neighbour = {{"serial", "neighbour"}};
    answer(neighbour);
    std::filesystem::create_directories(tmpdir_.lock_directory());
    auto content = GetParam().content;
    if (auto const at = content.find("$who"); at != std::string::npos) {
        content.replace(at, 4, record_text(device, json::object()).substr(1, record_text(device, json::object()).size() - 2));
    }
    write_file(cache_file(device), content);

    auto const outcome = answer(device);

    EXPECT_EQ(outcome.serial_number, GetParam().name);
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(opens(), 2u);
    EXPECT_EQ(json::parse(read_file(cache_file(device))).at("info").at("Serial Number"), GetParam().name);
    EXPECT_TRUE(answer(neighbour).has_info);
    EXPECT_EQ(opens(), 2u);
}

// "$who" stands for the members that name this device, so that only what the
// case is about makes the record unusable.
INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedCacheFile,
    testing::Values(BadRecord{"Empty", ""}, BadRecord{"CutShort", R"({$who,"info":{"Serial Number":"x"})"},
                    BadRecord{"NotJson", "garbage"}, BadRecord{"Array", "[1,2]"}, BadRecord{"String", R"("text")"},
                    BadRecord{"NumericError", R"({$who,"error":5})"}, BadRecord{"ObjectError", R"({$who,"error":{}})"},
                    BadRecord{"TooDeep", R"({$who,"info":)" + nested(200) + "}"},
                    BadRecord{"TooManyValues", R"({$who,"info":)" + many_values(max_record_values) + "}"},
                    BadRecord{"TooLarge", R"({$who,"info":")" + std::string(max_record_size, 'x') + R"("})"}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

TEST_F(QueryCache, OversizedCacheFileIsNeverRead) {
    json const device = {{"serial", "huge"}};
    std::filesystem::create_directories(tmpdir_.lock_directory());
    write_file(cache_file(device), std::string(max_record_size + 1, ' '));
    static int reads = 0;
    reads = 0;
    system_calls().pread = [](int fd, void* buffer, size_t size, off_t offset) {
        ++reads;
        return real_system_calls().pread(fd, buffer, size, offset);
    };

    EXPECT_TRUE(answer(device).has_info);
    EXPECT_EQ(reads, 0);
}

TEST_F(QueryCache, RecordJustWithinTheLimitsIsUsed) {
    json const device = {{"serial", "deep"}};
    std::filesystem::create_directories(tmpdir_.lock_directory());
    for (auto const& info : {nested(max_record_depth - 1), many_values(max_record_values - 10)}) {
        process_cache().clear();
        write_file(cache_file(device), record_text(device, {{"info", json::parse(info)}}));
        EXPECT_EQ(answer(device).info, json::parse(info).dump());
    }
    EXPECT_EQ(opens(), 0u);
}

TEST_F(QueryCache, UnopenableCacheFileLeavesTheInProcessLevel) {
    json const device = {{"serial", "U"}};
    disable_file_level(device);

    EXPECT_TRUE(answer(device).has_info);
    EXPECT_TRUE(answer(device).has_info);
    EXPECT_EQ(opens(), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(cache_file(device)));
}

TEST_F(QueryCache, ThreadsQueryingOneSlowDeviceOpenItOnce) {
    json const device = {{"serial", "slow"}, {"delay_ms", 300}};
    std::vector<RenderedRecord> outcomes(4);
    {
        std::vector<std::jthread> threads;
        for (auto& outcome : outcomes) {
            threads.emplace_back([&] { outcome = answer(device); });
        }
    }
    for (auto const& outcome : outcomes) {
        EXPECT_EQ(outcome.serial_number, "slow");
    }
    EXPECT_EQ(opens(), 1u);
}

}  // namespace
}  // namespace zelm::detail
