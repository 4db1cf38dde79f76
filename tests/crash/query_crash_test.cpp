// One query per device across real processes, and what processes that die in
// the middle of a query or of writing its record leave behind: scans that
// start together open each device once; a scanner killed inside get_info
// blocks nobody for longer than its life and leaves no record that a later
// scan misreads; a record cut short is a miss.
#include "locking/system_calls.hpp"
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace zelm {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::read_file;

// Polls `condition` until it holds or a bound that only a fault reaches.
template <typename Condition>
bool eventually(Condition const& condition) {
    auto const bound = std::chrono::steady_clock::now() + 20s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > bound) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Processes blocked in flock on the file with inode `inode`, as the kernel
// lists them ("->" marks a waiter).
std::size_t blocked_waiters(ino_t inode) {
    std::ifstream in("/proc/locks");
    auto const suffix = ":" + std::to_string(inode) + " ";
    std::size_t waiters = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find("->") != std::string::npos && line.find(suffix) != std::string::npos) {
            ++waiters;
        }
    }
    return waiters;
}

ino_t inode_of(fs::path const& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// 0 when `results` are exactly `serials`, found, in order; else the first
// position that differs, plus one.
int check_found(ScanResults const& results, std::vector<std::string> const& serials) {
    for (std::size_t i = 0; i < serials.size(); ++i) {
        auto const* found = i < results.size() ? std::get_if<DeviceFound>(&results[i]) : nullptr;
        if (found == nullptr || found->serial_number != serials[i]) {
            return static_cast<int>(i) + 1;
        }
    }
    return results.size() == serials.size() ? 0 : static_cast<int>(serials.size()) + 1;
}

class CrashTest : public testing::Test {
protected:
    void SetUp() override { fs::permissions(events_dir_.path(), fs::perms::all); }

    fs::path plugin(json devices, json extra = json::object()) {
        extra["devices"] = std::move(devices);
        extra["events"] = events_.native();
        return test::install_test_plugin(plugins_.path(), "crash_manager.so", extra);
    }
    std::vector<std::string> events() const { return test::read_events(events_); }
    // Opens of the device with this compact description.
    std::size_t opens_of(std::string const& description) const {
        return test::count_events(test::read_events_without_pid(events_), "open " + description);
    }
    // The device's cache file under the current TMPDIR.
    static fs::path cache_file(fs::path const& plugin_path, json const& device) {
        auto const manager = get_device_manager(plugin_path);
        auto const name = detail::make_lock_id(manager->get_path(), device) + ".lock";
        return test::lock_directory() / name;
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    test::TempDir events_dir_;
    fs::path const events_ = events_dir_.path() / "events";
};

TEST_F(CrashTest, ScansStartedTogetherInManyProcessesOpenEachDeviceOnce) {
    constexpr int processes = 6;
    constexpr int threads = 2;
    auto const devices = json::parse(R"([{"serial":"A","delay_ms":150},{"serial":"B","delay_ms":150},
                                          {"serial":"C","delay_ms":150}])");
    auto const path = plugin(devices);
    std::vector<std::unique_ptr<test::ChildProcess>> scanners;
    for (int i = 0; i < processes; ++i) {
        scanners.push_back(std::make_unique<test::ChildProcess>([&](test::ChildProcess& self) {
            self.receive();
            std::vector<int> codes(threads, -1);
            {
                std::vector<std::jthread> workers;
                for (auto& code : codes) {
                    workers.emplace_back([&] { code = check_found(scan_devices({path}), {"A", "B", "C"}); });
                }
            }
            return *std::ranges::max_element(codes);
        }));
    }
    for (auto& scanner : scanners) {
        scanner->send();
    }
    for (auto& scanner : scanners) {
        EXPECT_EQ(scanner->wait(), 0) << "a scan did not find every device with its own serial";
    }

    std::map<std::string, std::size_t> opens;
    for (auto const& device : devices) {
        opens[device.at("serial")] = opens_of(device.dump());
        EXPECT_EQ(opens[device.at("serial")], 1u) << device.dump();
    }
    std::cout << "[ figures  ] " << processes * threads << " scans in " << processes << " processes; opens per device:";
    for (auto const& [serial, count] : opens) {
        std::cout << ' ' << serial << '=' << count;
    }
    std::cout << '\n';
}

// The victim hangs inside get_info of A holding A's query lock, above a stale
// record of A; three scanners queue up behind it; then it is killed.
TEST_F(CrashTest, ScannerKilledInsideGetInfoBlocksNobodyAndLeavesNothingMisread) {
    json const a = {{"serial", "A"}};
    json const b = {{"serial", "B"}};
    auto const path = plugin({a, b}, {{"hang_in", "get_info"}});
    auto const a_cache = cache_file(path, a);
    fs::create_directories(a_cache.parent_path());
    std::ofstream(a_cache) << R"({"info":{"Serial Number":"stale"}})";
    fs::last_write_time(a_cache, fs::file_time_type::clock::now() - 1h);

    test::ChildProcess victim([&](test::ChildProcess&) {
        scan_devices({path});
        return 0;
    });
    auto const victim_in_get_info = "info " + std::to_string(victim.pid()) + " " + a.dump();
    ASSERT_TRUE(eventually([&] { return std::ranges::count(events(), victim_in_get_info) == 1; }));
    test::write_plugin_config(path, {{"devices", {a, b}}, {"events", events_.native()}});  // no more hanging

    std::vector<std::unique_ptr<test::ChildProcess>> scanners;
    for (int i = 0; i < 3; ++i) {
        scanners.push_back(std::make_unique<test::ChildProcess>(
            [&](test::ChildProcess&) { return check_found(scan_devices({path}), {"A", "B"}); }));
    }
    ASSERT_TRUE(eventually([&] { return blocked_waiters(inode_of(a_cache)) == scanners.size(); }))
        << "the scanners should all wait for the victim's query lock";
    EXPECT_EQ(opens_of(a.dump()), 1u) << "nobody opened A while the victim was querying it";

    victim.kill(SIGKILL);
    EXPECT_EQ(victim.wait(), 128 + SIGKILL);
    for (auto& scanner : scanners) {
        EXPECT_EQ(scanner->wait(), 0) << "a scanner did not find A and B with their own serials";
    }
    EXPECT_EQ(opens_of(a.dump()), 2u) << "the victim's open, then one live query for all three scanners";
    EXPECT_EQ(json::parse(read_file(a_cache)).at("info").at("Serial Number"), "A");

    auto const later = scan_devices({path});
    EXPECT_EQ(check_found(later, {"A", "B"}), 0);
    EXPECT_EQ(opens_of(a.dump()), 2u) << "the later scan used the survivors' record";
}

// How a writer's record comes to be cut short.
enum class Cut {
    short_write,      // the write stops early (a full disk) and the writer goes on
    killed_mid_write  // the writer dies right after the first bytes
};

struct CutCase {
    Cut cut;
    std::size_t length = 0;
};

CutCase cut_case;

// pwrite through the seam: writes only the first `cut_case.length` bytes.
ssize_t cut_pwrite(int fd, void const* buffer, size_t size, off_t offset) {
    auto const written = detail::real_system_calls().pwrite(fd, buffer, std::min(size, cut_case.length), offset);
    if (cut_case.cut == Cut::killed_mid_write) {
        ::kill(getpid(), SIGKILL);
    }
    return written;
}

// Every cut of the record, in both ways, leaves a file that the next scan, in
// another process, treats as a miss: it queries the device and writes the
// record whole.
TEST_F(CrashTest, RecordCutShortAtAnyLengthIsAMissNeverACrash) {
    json const device = {{"serial", "cut"}};
    // A short manager path keeps the record, which names it, and so the
    // number of cuts small.
    auto const path = plugin({device}, {{"path", "/cut.so"}});
    std::string full_record;
    {
        // In a child, so that this process's own cache stays empty for the
        // children forked below.
        test::ScopedTmpdir const reference;
        ASSERT_EQ(test::run_in_child([&] { return check_found(scan_devices({path}), {"cut"}); }), 0);
        full_record = read_file(cache_file(path, device));
    }
    ASSERT_FALSE(full_record.empty());

    std::size_t cases = 0;
    for (auto const cut : {Cut::short_write, Cut::killed_mid_write}) {
        for (std::size_t length = 0; length < full_record.size(); ++length) {
            SCOPED_TRACE(testing::Message() << (cut == Cut::short_write ? "short write" : "killed") << " at "
                                            << length);
            test::ScopedTmpdir const fresh;
            int const writer = test::run_in_child([&] {
                cut_case = CutCase{cut, length};
                detail::system_calls().pwrite = cut_pwrite;
                return check_found(scan_devices({path}), {"cut"});
            });
            EXPECT_EQ(writer, cut == Cut::short_write ? 0 : 128 + SIGKILL);
            ASSERT_EQ(read_file(cache_file(path, device)), full_record.substr(0, length));

            auto const opens_before = opens_of(device.dump());
            EXPECT_EQ(test::run_in_child([&] { return check_found(scan_devices({path}), {"cut"}); }), 0);
            EXPECT_EQ(opens_of(device.dump()), opens_before + 1) << "the cut record must be a miss";
            EXPECT_EQ(read_file(cache_file(path, device)), full_record);
            ++cases;
        }
    }
    std::cout << "[ figures  ] " << cases << " records cut short, each read as a miss\n";
}

}  // namespace
}  // namespace zelm
