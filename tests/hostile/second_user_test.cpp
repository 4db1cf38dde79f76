// A hostile local user, played for real by `nobody` while the test itself is
// root: what it plants in the shared lock directory, the cache records it
// writes, a lock directory it keeps to itself, and two users who share
// devices in good faith through the sticky directory.
#include "second_user.hpp"

#include "locking/system_calls.hpp"
#include "scan/query_cache.hpp"

#include <zelm/zelm.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>

namespace zelm {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using hostile::run_as_nobody;
using hostile::snapshot;
using test::runtime_error_of;

constexpr char const* occupied_suffix = ".occupied";
constexpr char const* cache_suffix = ".lock";

uid_t nobody_uid() { return getpwnam("nobody")->pw_uid; }
gid_t nobody_gid() { return getpwnam("nobody")->pw_gid; }

// Results as one letter each: F found with the serial its description asks
// for, W found with another, O occupied, Q query failed.
std::string letters(ScanResults const& results) {
    std::string text;
    for (auto const& result : results) {
        if (auto const* found = std::get_if<DeviceFound>(&result)) {
            text += found->serial_number == json::parse(found->description).at("serial") ? 'F' : 'W';
        } else {
            text += std::holds_alternative<DeviceOccupied>(result) ? 'O' : 'Q';
        }
    }
    return text;
}

void make_old(fs::path const& path) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365));
}

class HostileUser : public testing::Test {
protected:
    void SetUp() override {
        if (auto const reason = hostile::second_user_unavailable()) {
            GTEST_SKIP() << *reason;
        }
        // Like /tmp: any user may create names here, the lock directory's included.
        chmod(tmpdir_.path().c_str(), 01777);
        chmod(plugins_.path().c_str(), 0755);
        std::ofstream{events_};
        chmod(events_.c_str(), 0666);
        plugin_ = test::install_test_plugin(plugins_.path(), "hostile_manager.so",
                                            {{"devices", devices_}, {"events", events_.native()}});
        fs::create_directory(nobody_home());
        ASSERT_EQ(chown(nobody_home().c_str(), nobody_uid(), nobody_gid()), 0);
    }
    void TearDown() override { detail::system_calls() = detail::real_system_calls(); }

    std::shared_ptr<DeviceManager> manager() const { return get_device_manager(plugin_); }
    std::string lock_id(json const& device) const { return detail::make_lock_id(manager()->get_path(), device); }
    fs::path lock_file(json const& device, char const* suffix) const {
        return tmpdir_.lock_directory() / (lock_id(device) + suffix);
    }
    std::size_t opens(json const& device) const {
        return test::count_events(test::read_events_without_pid(events_), "open " + device.dump());
    }
    std::unique_ptr<Device> own(json const& device) const {
        auto const owner = manager();
        return owner->manage_device(owner->open_device(device.dump()), device.dump());
    }
    fs::path nobody_home() const { return tmpdir_.path() / "nobody_home"; }
    // Root makes the lock directory, as the shipped tmpfiles.d snippet does:
    // one that nobody made would be refused by root's processes.
    void make_lock_directory_as_root() const {
        ASSERT_TRUE(fs::create_directory(tmpdir_.lock_directory()));
        ASSERT_EQ(chmod(tmpdir_.lock_directory().c_str(), 01777), 0);
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    test::TempDir root_private_;  // 0700, root's: what planted links point at
    fs::path const events_ = plugins_.path() / "events";
    json const target_ = {{"serial", "target"}};
    json const neighbour_ = {{"serial", "neighbour"}};
    json const devices_ = {target_, neighbour_};
    fs::path plugin_;
};

// --- things planted where lock files belong ----------------------------------

enum class Where { lock_directory, ownership_file, cache_file };
enum class What { symbolic_link, fifo, hard_link };

struct Plant {
    char const* name;
    Where where;
    What what;
    char const* reason;  // in the acquisition's error, when ownership is refused
};

void PrintTo(Plant const& plant, std::ostream* out) { *out << plant.name; }

class PlantedByAnotherUser : public HostileUser, public testing::WithParamInterface<Plant> {
protected:
    fs::path spot() const {
        switch (GetParam().where) {
        case Where::lock_directory:
            return tmpdir_.lock_directory();
        case Where::ownership_file:
            return lock_file(target_, occupied_suffix);
        case Where::cache_file:
            return lock_file(target_, cache_suffix);
        }
        return {};
    }

    // Root's own things that a planted link points at; nobody's own file for
    // a hard link (the kernel lets nobody link no other).
    fs::path target() const {
        switch (GetParam().what) {
        case What::symbolic_link:
            return GetParam().where == Where::lock_directory ? root_private_.path() : root_private_.path() / "secret";
        case What::fifo:
            return spot();
        case What::hard_link:
            return nobody_home() / "own";
        }
        return {};
    }

    void prepare_root_secrets() const {
        std::ofstream(root_private_.path() / "secret") << "keep me";
        chmod((root_private_.path() / "secret").c_str(), 0600);
        make_old(root_private_.path() / "secret");
    }

    int plant_as_nobody() const {
        auto const where = spot();
        auto const what = target();
        return run_as_nobody([&] {
            switch (GetParam().what) {
            case What::symbolic_link:
                return symlink(what.c_str(), where.c_str()) == 0 ? 0 : 1;
            case What::fifo:
                return mkfifo(where.c_str(), 0666) == 0 ? 0 : 1;
            case What::hard_link:
                std::ofstream(what) << "nobody's own";
                chmod(what.c_str(), 0600);
                return link(what.c_str(), where.c_str()) == 0 ? 0 : 1;
            }
            return 1;
        });
    }
};

TEST_P(PlantedByAnotherUser, IsRefusedLeftAloneAndBlocksNothing) {
    auto const& plant = GetParam();
    prepare_root_secrets();
    if (plant.where != Where::lock_directory) {
        ASSERT_FALSE(detail::is_device_occupied(lock_id(neighbour_)));  // root makes the lock directory
    }
    ASSERT_EQ(plant_as_nobody(), 0);
    if (plant.what == What::hard_link) {
        make_old(target());
    }
    auto const target_before = snapshot(target());
    auto const spot_before = snapshot(spot());

    if (plant.where == Where::cache_file) {
        // Ownership does not depend on the cache file; the scan does without it.
        EXPECT_FALSE(detail::is_device_occupied(lock_id(target_)));
        EXPECT_NE(own(target_), nullptr);
        EXPECT_EQ(letters(scan_devices({plugin_})), "FF");
        EXPECT_EQ(opens(target_), 2u) << "the owner's open and one live query";
    } else {
        EXPECT_TRUE(detail::is_device_occupied(lock_id(target_)));
        auto const message = runtime_error_of([&] { own(target_); });
        auto const prefix = "Cannot open device lock file: " + lock_file(target_, occupied_suffix).native() + ": ";
        EXPECT_TRUE(message.starts_with(prefix)) << message;
        EXPECT_NE(message.find(plant.reason, prefix.size()), std::string::npos) << message;
        auto const expected = plant.where == Where::lock_directory ? "OO" : "OF";
        EXPECT_EQ(letters(scan_devices({plugin_})), expected);
        EXPECT_EQ(opens(target_), 1u) << "only the refused owner's open";
    }
    EXPECT_EQ(snapshot(target()), target_before);
    EXPECT_EQ(snapshot(spot()), spot_before);
}

INSTANTIATE_TEST_SUITE_P(
    Plants, PlantedByAnotherUser,
    testing::Values(Plant{"SymlinkAtLockDirectory", Where::lock_directory, What::symbolic_link, "lock directory"},
                    Plant{"SymlinkAtOwnershipFile", Where::ownership_file, What::symbolic_link, "is a symbolic link"},
                    Plant{"FifoAtOwnershipFile", Where::ownership_file, What::fifo, "is not a regular file"},
                    Plant{"HardLinkAtOwnershipFile", Where::ownership_file, What::hard_link, "has 2 hard links"},
                    Plant{"SymlinkAtCacheFile", Where::cache_file, What::symbolic_link, ""},
                    Plant{"FifoAtCacheFile", Where::cache_file, What::fifo, ""},
                    Plant{"HardLinkAtCacheFile", Where::cache_file, What::hard_link, ""}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

// --- cache records written by another user -----------------------------------

struct PlantedRecord {
    char const* name;
    std::string content;
    off_t size = 0;  // a larger size makes the file sparse beyond the content
};

void PrintTo(PlantedRecord const& record, std::ostream* out) { *out << record.name; }

std::string nested_info(std::size_t depth) {
    return R"({"info":)" + std::string(depth, '[') + std::string(depth, ']') + "}";
}

std::size_t largest_read = 0;

ssize_t measuring_pread(int fd, void* buffer, size_t size, off_t offset) {
    largest_read = std::max(largest_read, size);
    return detail::real_system_calls().pread(fd, buffer, size, offset);
}

class RecordOfAnotherUser : public HostileUser, public testing::WithParamInterface<PlantedRecord> {
protected:
    // `content` with "$target" or "$neighbour" replaced by the members that
    // name that device in a record, so that nothing but what a case is about
    // makes the record unusable.
    std::string naming(std::string content) const {
        for (auto const& [placeholder, device] : {std::pair{"$target", &target_}, std::pair{"$neighbour", &neighbour_}}) {
            if (auto const at = content.find(placeholder); at != std::string::npos) {
                auto const members = json{{"device", *device}, {"manager", manager()->get_path().native()}}.dump();
                content.replace(at, std::string_view(placeholder).size(), members.substr(1, members.size() - 2));
            }
        }
        return content;
    }
};

// nobody scans first, as a user in good faith would, then rewrites the
// target's record. Root's scan must treat it as a miss, read no more than a
// record may hold, and still take the neighbour's record as it is.
TEST_P(RecordOfAnotherUser, IsAMissThatCostsOneLiveQueryAndNothingElse) {
    auto const cache = lock_file(target_, cache_suffix);
    auto const& record = GetParam();
    auto const content = naming(record.content);
    make_lock_directory_as_root();
    ASSERT_EQ(run_as_nobody([&] {
                  if (letters(scan_devices({plugin_})) != "FF") {
                      return 1;
                  }
                  std::ofstream(cache, std::ios::binary | std::ios::trunc) << content;
                  return record.size > 0 && truncate(cache.c_str(), record.size) != 0 ? 2 : 0;
              }),
              0);

    int const victim = test::run_in_child([&] {
        largest_read = 0;
        detail::system_calls().pread = measuring_pread;
        if (letters(scan_devices({plugin_})) != "FF") {
            return 1;
        }
        return largest_read <= detail::max_record_size ? 0 : 2;
    });

    EXPECT_EQ(victim, 0) << "1: a wrong result, 2: a read larger than a record, above 128: a crash";
    EXPECT_EQ(opens(target_), 2u) << "nobody's query and one live query for root";
    EXPECT_EQ(opens(neighbour_), 1u) << "the neighbour's record served root";
    std::ifstream in(cache);
    EXPECT_EQ(json::parse(in).at("info").at("Serial Number"), "target") << "the record was rewritten whole";
}

INSTANTIATE_TEST_SUITE_P(
    Records, RecordOfAnotherUser,
    testing::Values(PlantedRecord{"Huge", R"({$target,"info":{"Serial Number":"forged"}})", off_t{4} << 30},
                    PlantedRecord{"DeeplyNested", "{$target," + nested_info(400'000).substr(1)},
                    PlantedRecord{"InvalidUtf8", "{$target,\"info\":{\"Serial Number\":\"\xff\xfe\"}}"},
                    PlantedRecord{"ErrorThatIsNotText", R"({$target,"info":{"Serial Number":"forged"},"error":7})"},
                    PlantedRecord{"NotAnObject", R"(["forged"])"},
                    PlantedRecord{"AnotherDevicesRecord", R"({$neighbour,"info":{"Serial Number":"forged"}})"},
                    PlantedRecord{"WithoutTheDevice", R"({"info":{"Serial Number":"forged"}})"}),
    [](auto const& test_case) { return std::string(test_case.param.name); });

// --- a lock directory that another user keeps to itself ----------------------

struct Precreated {
    char const* name;
    mode_t mode;
    bool directory_unreadable;  // the reason then names the directory itself
};

void PrintTo(Precreated const& precreated, std::ostream* out) { *out << precreated.name; }

class LockDirectoryOfAnotherUser : public HostileUser, public testing::WithParamInterface<Precreated> {};

TEST_P(LockDirectoryOfAnotherUser, MakesEveryDeviceOccupiedAndOwnershipFailClearly) {
    auto const directory = tmpdir_.lock_directory();
    fs::create_directory(directory);
    chmod(directory.c_str(), GetParam().mode);
    auto const before = snapshot(directory);
    auto const reason = GetParam().directory_unreadable ? "lock directory " + directory.native() + " Permission denied"
                                                        : std::string("Permission denied");
    auto const expected =
        "Cannot open device lock file: " + lock_file(target_, occupied_suffix).native() + ": " + reason;

    int const result = run_as_nobody([&] {
        if (!detail::is_device_occupied(lock_id(target_))) {
            return 1;
        }
        if (letters(scan_devices({plugin_})) != "OO") {
            return 2;
        }
        auto const message = runtime_error_of([&] { own(target_); });
        if (message != expected) {
            std::fprintf(stderr, "unexpected error: \"%s\"\n", message.c_str());
            return 3;
        }
        return 0;
    });

    EXPECT_EQ(result, 0) << "1: probed free, 2: scanned as not occupied, 3: another error";
    EXPECT_EQ(snapshot(directory), before) << "another user's directory keeps its mode and content";
    EXPECT_EQ(opens(target_), 1u) << "only the refused owner's own open";
    EXPECT_EQ(test::count_events(test::read_events_without_pid(events_), "device_destroyed " + target_.dump()), 1u)
        << "the device handed to manage_device was destroyed";
}

INSTANTIATE_TEST_SUITE_P(Modes, LockDirectoryOfAnotherUser,
                         testing::Values(Precreated{"Mode0700", 0700, true}, Precreated{"Mode0755", 0755, false}),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

// --- two users sharing devices in good faith ----------------------------------

// One user's process, stepped by one-letter commands naming a device by its
// index; each answer is some letters and a '.'.
class Actor {
public:
    Actor(bool as_nobody, fs::path const& plugin, json const& devices)
        : process_([as_nobody, plugin, devices](test::ChildProcess& self) {
              return serve(self, as_nobody, plugin, devices);
          }) {}

    char probe(int device) { return ask('p', device).front(); }
    // 'y' owned, 'b' "Device is already occupied", 'e' another error.
    char own(int device) { return ask('o', device).front(); }
    void release(int device) { ask('r', device); }
    std::string scan() { return ask('s', 0); }

private:
    std::string ask(char command, int device) {
        process_.send(command);
        process_.send(static_cast<char>('0' + device));
        std::string answer;
        for (char letter = process_.receive(); letter != '.'; letter = process_.receive()) {
            if (letter == '\0') {
                throw std::runtime_error("an actor process ended early");
            }
            answer += letter;
        }
        return answer.empty() ? std::string(1, '-') : answer;
    }

    static void reply(test::ChildProcess& self, std::string const& answer) {
        for (char const letter : answer) {
            self.send(letter);
        }
        self.send('.');
    }

    static bool occupied(DeviceManager& manager, json const& device) {
        return detail::is_device_occupied(detail::make_lock_id(manager.get_path(), device));
    }

    static char try_to_own(DeviceManager& manager, std::string const& description,
                           std::map<int, std::unique_ptr<Device>>& owned, int device) {
        try {
            owned[device] = manager.manage_device(manager.open_device(description), description);
            return 'y';
        } catch (std::runtime_error const& error) {
            return std::string_view(error.what()) == "Device is already occupied" ? 'b' : 'e';
        }
    }

    static int serve(test::ChildProcess& self, bool as_nobody, fs::path const& plugin, json const& devices) {
        if (as_nobody && !hostile::become_nobody()) {
            return 100;
        }
        umask(077);
        auto const manager = get_device_manager(plugin);
        std::map<int, std::unique_ptr<Device>> owned;
        for (char command = self.receive(); command != '\0'; command = self.receive()) {
            int const device = self.receive() - '0';
            auto const description = devices[device].dump();
            switch (command) {
            case 'p':
                reply(self, occupied(*manager, devices[device]) ? "o" : "f");
                break;
            case 'o':
                reply(self, std::string(1, try_to_own(*manager, description, owned, device)));
                break;
            case 'r':
                owned.erase(device);
                reply(self, "");
                break;
            default:
                reply(self, letters(scan_devices({plugin})));
            }
        }
        return 0;
    }

    test::ChildProcess process_;
};

struct Sharing {
    char const* name;
    bool nobody_first;  // nobody makes the lock files, in a directory root made
};

void PrintTo(Sharing const& sharing, std::ostream* out) { *out << sharing.name; }

class SharedBetweenUsers : public HostileUser, public testing::WithParamInterface<Sharing> {
protected:
    json const spare_ = {{"serial", "spare"}};
};

// The first user's process makes the lock files (and, when it is root's, the
// directory); root then opens lock files that nobody made in its directory:
// the case that protected_regular refuses to an O_CREAT open.
TEST_P(SharedBetweenUsers, BothProbeOwnAndUseTheCache) {
    hostile::note_protected_regular();
    detail::system_calls().openat = hostile::protected_regular_openat;
    json const devices = {target_, neighbour_, spare_};
    test::write_plugin_config(plugin_, {{"devices", devices}, {"events", events_.native()}});
    bool const maker_is_nobody = GetParam().nobody_first;
    if (maker_is_nobody) {
        make_lock_directory_as_root();
    }
    uid_t const guest_uid = maker_is_nobody ? 0 : nobody_uid();
    Actor maker(maker_is_nobody, plugin_, devices);
    Actor guest(!maker_is_nobody, plugin_, devices);

    ASSERT_EQ(maker.probe(2), 'f');
    ASSERT_EQ(snapshot(tmpdir_.lock_directory()).mode & 07777, 01777u);
    ASSERT_EQ(maker.own(1), 'y');
    EXPECT_EQ(guest.scan(), "FOF");
    EXPECT_EQ(snapshot(lock_file(target_, occupied_suffix)).owner, guest_uid);
    EXPECT_EQ(snapshot(lock_file(target_, cache_suffix)).owner, guest_uid);

    maker.release(1);
    EXPECT_EQ(maker.scan(), "FFF");
    EXPECT_EQ(guest.scan(), "FFF");
    EXPECT_EQ(opens(target_), 1u) << "the maker used the guest's record";
    EXPECT_EQ(opens(neighbour_), 2u) << "the maker's own, then its query; the guest used the maker's record";

    ASSERT_EQ(maker.own(0), 'y');
    EXPECT_EQ(guest.probe(0), 'o');
    EXPECT_EQ(guest.own(0), 'b');
    EXPECT_EQ(guest.scan(), "OFF");
    maker.release(0);
    ASSERT_EQ(guest.own(0), 'y');
    EXPECT_EQ(maker.probe(0), 'o');
    EXPECT_EQ(maker.own(0), 'b');
    guest.release(0);
    EXPECT_EQ(maker.probe(0), 'f');

    for (auto const& entry : fs::directory_iterator(tmpdir_.lock_directory())) {
        EXPECT_EQ(snapshot(entry.path()).mode & 07777, 0666u) << entry.path() << " despite umask 077";
    }
}

INSTANTIATE_TEST_SUITE_P(Makers, SharedBetweenUsers,
                         testing::Values(Sharing{"RootFirst", false}, Sharing{"NobodyFirstInRootsDirectory", true}),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

// --- cleaning a directory that users share ------------------------------------

// Another user's clean removes its own unused files and skips root's, however
// old, without a failure: in the sticky directory it may not remove them.
TEST_F(HostileUser, CleanSkipsOtherUsersFilesAndRemovesItsOwn) {
    make_lock_directory_as_root();
    ASSERT_EQ(letters(scan_devices({plugin_})), "FF");
    std::vector<std::pair<fs::path, hostile::Snapshot>> roots;
    for (auto const& entry : fs::directory_iterator(tmpdir_.lock_directory())) {
        make_old(entry.path());
        roots.emplace_back(entry.path(), snapshot(entry.path()));
    }
    ASSERT_EQ(roots.size(), 4u);
    auto const own = tmpdir_.lock_directory() / "device_abc.occupied";

    EXPECT_EQ(run_as_nobody([&] {
                  if (detail::is_device_occupied("device_abc")) {
                      return 1;
                  }
                  make_old(own);
                  auto const summary = clean_lock_directory({.unused_for = std::chrono::seconds(0)});
                  bool const as_expected = summary.removed == 1 && summary.kept == 0 &&
                                           summary.other_users == 4 && summary.failures.empty();
                  return as_expected ? 0 : 2;
              }),
              0);

    EXPECT_FALSE(fs::exists(own));
    for (auto const& [path, before] : roots) {
        EXPECT_EQ(snapshot(path), before) << path;
    }
}

}  // namespace
}  // namespace zelm
