// The two-level query cache: what is stored where, freshness at both levels
// (through injected clocks, not sleeps), malformed cache files, and queries of
// one device from several threads.
#include "scan/cache_file.hpp"
#include "scan/query_cache.hpp"
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

class QueryCache : public testing::Test {
protected:
    void SetUp() override {
        plugin_ = test::install_test_plugin(plugins_.path(), "cache_manager.so", {{"events", events_.native()}});
        manager_ = get_device_manager(plugin_);
    }
    void TearDown() override {
        cache_clocks() = saved_clocks_;
        system_calls() = real_system_calls();
    }

    std::string lock_id(json const& device) const { return make_lock_id(manager_->get_path(), device); }
    QueryOutcome query(json const& device) const { return query_device_cached(manager_, device, lock_id(device)); }
    std::filesystem::path cache_file(json const& device) const {
        return tmpdir_.lock_directory() / (lock_id(device) + ".lock");
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

    auto const first = query(device);
    ASSERT_TRUE(first.info);
    EXPECT_EQ(first.info->dump(), R"({"Serial Number":"é","b":1})");
    ASSERT_TRUE(first.status);
    EXPECT_EQ(*first.status, json({{"API", "x"}}));
    EXPECT_EQ(first.error, "");
    EXPECT_EQ(read_file(cache_file(device)), R"({"info":{"Serial Number":"é","b":1},"status":{"API":"x"}})");

    auto const second = query(device);
    EXPECT_EQ(second.info, first.info);
    EXPECT_EQ(second.status, first.status);
    EXPECT_EQ(opens(), 1u);
}

TEST_F(QueryCache, ErrorTextIsCachedLikeAnAnswer) {
    json const device = {{"serial", "E"}, {"info_error", "sensor offline"}};

    EXPECT_EQ(query(device).error, "sensor offline");
    EXPECT_EQ(read_file(cache_file(device)), R"({"error":"sensor offline","status":{"API":"test"}})");
    EXPECT_EQ(query(device).error, "sensor offline");
    EXPECT_EQ(opens(), 1u);
}

TEST_F(QueryCache, InformationOrStatusThatIsNotJsonIsLeftOut) {
    json const device = {{"serial", "N"}, {"info_text", "not json"}, {"status_text", "{broken"}};

    auto const outcome = query(device);
    EXPECT_FALSE(outcome.info);
    EXPECT_FALSE(outcome.status);
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(read_file(cache_file(device)), "{}");
    // An empty record is still an answer from the file: no second open.
    query(device);
    EXPECT_EQ(opens(), 1u);
}

TEST_F(QueryCache, StatusErrorIsDropped) {
    json const device = {{"serial", "S"}, {"status_error", "no status"}};

    auto const outcome = query(device);
    EXPECT_TRUE(outcome.info);
    EXPECT_FALSE(outcome.status);
    EXPECT_EQ(read_file(cache_file(device)).find("status"), std::string::npos);
}

TEST_F(QueryCache, QueryThatThrowsIsLoggedAndNotCached) {
    json const device = {{"serial", "T"}, {"info_throws", "bus error"}};
    test::LogCapture log;

    EXPECT_EQ(query(device).error, "bus error");
    EXPECT_THAT(log.lines(), testing::ElementsAre("error Failed to query device " + lock_id(device) + ": bus error"));
    EXPECT_EQ(read_file(cache_file(device)), "");

    EXPECT_EQ(query(device).error, "bus error");
    EXPECT_EQ(opens(), 2u);
}

TEST_F(QueryCache, DeviceIsClosedBeforeTheQueryLockIsReleased) {
    json const device = {{"serial", "C"}};
    test::write_plugin_config(plugin_, {{"events", events_.native()}, {"probe_on_destroy", cache_file(device).native()}});

    query(device);
    auto const events = read_events(events_);
    EXPECT_EQ(count_events(events, "device_destroyed"), 1u);
    EXPECT_THAT(events, testing::Contains(testing::HasSubstr("lock_free=0")));
}

TEST_F(QueryCache, InProcessEntryIsFreshForExactlyFiveSeconds) {
    json const device = {{"serial", "P"}};
    disable_file_level(device);
    auto const start = std::chrono::steady_clock::time_point(1000h);
    freeze_steady_clock(start);

    query(device);
    fake_steady_now = start + 5s;
    EXPECT_TRUE(query(device).info);
    EXPECT_EQ(opens(), 1u);

    fake_steady_now = start + 5s + 1ns;
    EXPECT_TRUE(query(device).info);
    EXPECT_EQ(opens(), 2u);
}

TEST_F(QueryCache, StaleInProcessEntryGivesWayToAFreshFile) {
    json const device = {{"serial", "F"}};
    auto const start = std::chrono::steady_clock::time_point(1000h);
    freeze_steady_clock(start);
    query(device);

    fake_steady_now = start + 6s;
    write_file(cache_file(device), R"({"info":{"Serial Number":"from file"}})");
    auto const outcome = query(device);

    ASSERT_TRUE(outcome.info);
    EXPECT_EQ(outcome.info->at("Serial Number"), "from file");
    EXPECT_EQ(opens(), 1u);
    std::lock_guard guard(process_mutex);
    EXPECT_EQ(process_cache.at(lock_id(device)).stored_at, start + 6s);
    EXPECT_EQ(process_cache.at(lock_id(device)).record, json::parse(R"({"info":{"Serial Number":"from file"}})"));
}

TEST_F(QueryCache, CacheFileIsFreshForExactlyFiveSecondsOfFileTime) {
    json const device = {{"serial", "G"}};
    query(device);
    auto const written = std::filesystem::last_write_time(cache_file(device));
    cache_clocks().file_now = [] { return fake_file_now; };
    InterprocessLock const lock(lock_id(device));

    fake_file_now = written + 5s;
    EXPECT_TRUE(read_cache_file(lock));
    fake_file_now = written + 5s + 1ns;
    EXPECT_FALSE(read_cache_file(lock));
    // Written "in the future" (a clock stepped back): a skew up to the
    // lifetime is forgiven, a larger one is stale instead of fresh until then.
    fake_file_now = written - 5s;
    EXPECT_TRUE(read_cache_file(lock));
    fake_file_now = written - 5s - 1ns;
    EXPECT_FALSE(read_cache_file(lock));
    fake_file_now = written - 1h;
    EXPECT_FALSE(read_cache_file(lock));
}

TEST_F(QueryCache, CacheFileWithAFarFutureOrFarPastTimeStampIsStale) {
    json const device = {{"serial", "far"}};
    query(device);
    InterprocessLock const lock(lock_id(device));
    // Beyond what nanoseconds since 1970 can hold (the year 2262), both ways.
    for (time_t const seconds : {time_t{1} << 40, -(time_t{1} << 40), std::numeric_limits<time_t>::max(),
                                 std::numeric_limits<time_t>::min()}) {
        struct timespec const times[2] = {{0, UTIME_OMIT}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, cache_file(device).c_str(), times, 0), 0) << std::strerror(errno);
        EXPECT_FALSE(read_cache_file(lock)) << seconds;
    }
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

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
    query(neighbour);
    std::filesystem::create_directories(tmpdir_.lock_directory());
    write_file(cache_file(device), GetParam().content);

    auto const outcome = query(device);

    ASSERT_TRUE(outcome.info);
    EXPECT_EQ(outcome.info->at("Serial Number"), GetParam().name);
    EXPECT_EQ(outcome.error, "");
    EXPECT_EQ(opens(), 2u);
    EXPECT_EQ(json::parse(read_file(cache_file(device))).at("info").at("Serial Number"), GetParam().name);
    EXPECT_TRUE(query(neighbour).info);
    EXPECT_EQ(opens(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedCacheFile,
    testing::Values(BadRecord{"Empty", ""}, BadRecord{"CutShort", R"({"info":{"Serial Number":"x"})"},
                    BadRecord{"NotJson", "garbage"}, BadRecord{"Array", "[1,2]"}, BadRecord{"String", R"("text")"},
                    BadRecord{"NumericError", R"({"error":5})"}, BadRecord{"ObjectError", R"({"error":{}})"},
                    BadRecord{"TooDeep", R"({"info":)" + nested(200) + "}"},
                    BadRecord{"TooLarge", R"({"info":")" + std::string(2 * 1024 * 1024, 'x') + R"("})"}),
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

    EXPECT_TRUE(query(device).info);
    EXPECT_EQ(reads, 0);
}

TEST_F(QueryCache, RecordNestedJustWithinTheLimitIsUsed) {
    json const device = {{"serial", "deep"}};
    std::filesystem::create_directories(tmpdir_.lock_directory());
    write_file(cache_file(device), R"({"info":)" + nested(max_record_depth - 1) + "}");

    auto const outcome = query(device);
    ASSERT_TRUE(outcome.info);
    EXPECT_TRUE(outcome.info->is_array());
    EXPECT_EQ(opens(), 0u);
}

TEST_F(QueryCache, UnopenableCacheFileLeavesTheInProcessLevel) {
    json const device = {{"serial", "U"}};
    disable_file_level(device);

    EXPECT_TRUE(query(device).info);
    EXPECT_TRUE(query(device).info);
    EXPECT_EQ(opens(), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(cache_file(device)));
}

TEST_F(QueryCache, ThreadsQueryingOneSlowDeviceOpenItOnce) {
    json const device = {{"serial", "slow"}, {"delay_ms", 300}};
    std::vector<QueryOutcome> outcomes(4);
    {
        std::vector<std::jthread> threads;
        for (auto& outcome : outcomes) {
            threads.emplace_back([&] { outcome = query(device); });
        }
    }
    for (auto const& outcome : outcomes) {
        ASSERT_TRUE(outcome.info);
        EXPECT_EQ(outcome.info->at("Serial Number"), "slow");
    }
    EXPECT_EQ(opens(), 1u);
}

}  // namespace
}  // namespace zelm::detail
