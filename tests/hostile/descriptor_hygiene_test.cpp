// Lock descriptors against the host's own descriptors and children: a host
// with its standard streams closed must not get its output written into lock
// or cache files, a child that inherits an owner's descriptor must not take
// the ownership with it when it ends, and a program started while a query
// lock is held must not keep it.
#include "locking/query_lock.hpp"
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace zelm {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::read_file;

// What /proc says descriptor `fd` of this process refers to; empty when closed.
std::string target_of(int fd) {
    std::error_code error;
    auto const target = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    return error ? std::string() : target.native();
}

class DescriptorHygiene : public testing::Test {
protected:
    void SetUp() override {
        plugin_ = test::install_test_plugin(plugins_.path(), "hygiene_manager.so",
                                            {{"devices", {held_, failing_, answering_}}});
    }
    std::string lock_id(json const& device) const {
        return detail::make_lock_id(get_device_manager(plugin_)->get_path(), device);
    }

    test::ScopedTmpdir tmpdir_;
    test::TempDir plugins_;
    fs::path plugin_;
    json const held_ = {{"serial", "held"}};
    json const failing_ = {{"serial", "failing"}, {"open_throws", "no such device"}};
    json const answering_ = {{"serial", "answering"}};
};

// With 0, 1 and 2 closed, the lock files would be the first descriptors the
// library opens. The scan logs its query failure (through the default
// logger, to standard output) while it holds a cache file's lock, and the
// host writes to its standard streams while it owns a device; none of it may
// reach a lock or cache file.
TEST_F(DescriptorHygiene, HostWithoutStandardStreamsWritesIntoNoLockFile) {
    int const result = test::run_in_child([&] {
        close(STDIN_FILENO);
        close(STDOUT_FILENO);
        close(STDERR_FILENO);
        auto const manager = get_device_manager(plugin_);
        auto const results = scan_devices({plugin_});
        auto const owned = manager->manage_device(manager->open_device(held_.dump()), held_.dump());
        auto const lock_directory = tmpdir_.lock_directory();
        int code = results.size() == 3 ? 0 : 1;
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            if (target_of(fd).starts_with(lock_directory.native())) {
                code = 2;
            }
            std::string const stray = "host output on descriptor " + std::to_string(fd) + "\n";
            [[maybe_unused]] auto const written = write(fd, stray.data(), stray.size());
        }
        return code;
    });
    EXPECT_EQ(result, 0) << "1: the scan went wrong, 2: a lock file sits on a standard descriptor";

    std::size_t files = 0;
    for (auto const& entry : fs::directory_iterator(tmpdir_.lock_directory())) {
        ++files;
        auto const content = read_file(entry.path());
        if (entry.path().extension() == ".occupied") {
            EXPECT_EQ(content, "") << entry.path();
        } else if (!content.empty()) {
            EXPECT_TRUE(json::accept(content)) << entry.path() << " holds: " << content;
        }
    }
    EXPECT_EQ(files, 6u) << "an ownership file and a cache file for each device";
    // The failed query logged its error while it held this file's lock.
    EXPECT_EQ(read_file(tmpdir_.lock_directory() / (lock_id(failing_) + ".lock")), "");
}

// What a child of the owner does with the descriptor it inherited before it ends.
struct ChildEnd {
    char const* name;
    std::function<void(std::unique_ptr<Device>&, std::string const& lock_id, fs::path const& plugin)> act;
};

void PrintTo(ChildEnd const& end, std::ostream* out) { *out << end.name; }

ChildEnd const child_ends[] = {
    {"ExitsAtOnce", [](auto&, auto const&, auto const&) { _exit(0); }},
    {"RunsExitHandlers", [](auto&, auto const&, auto const&) { std::exit(0); }},
    {"DestroysItsCopyOfTheOwner", [](std::unique_ptr<Device>& owned, auto const&, auto const&) { owned.reset(); }},
    {"ProbesAndScansTheDevice",
     [](auto&, std::string const& lock_id, fs::path const& plugin) {
         _exit(detail::is_device_occupied(lock_id) && scan_devices({plugin}).size() == 1 ? 0 : 1);
     }},
    {"ExecsAProgramThatExits",
     [](auto&, auto const&, auto const&) {
         execl("/bin/sh", "sh", "-c", "exit 0", static_cast<char*>(nullptr));
         _exit(127);
     }},
};

class InheritedDescriptor : public DescriptorHygiene, public testing::WithParamInterface<ChildEnd> {};

TEST_P(InheritedDescriptor, EndingChildLeavesTheParentsOwnershipAlone) {
    auto const manager = get_device_manager(plugin_);
    test::write_plugin_config(plugin_, {{"devices", {held_}}});
    auto owned = manager->manage_device(manager->open_device(held_.dump()), held_.dump());
    auto const id = lock_id(held_);

    EXPECT_EQ(test::run_in_child([&] {
                  GetParam().act(owned, id, plugin_);
                  return 0;
              }),
              0);

    EXPECT_EQ(test::run_in_child([&] { return detail::is_device_occupied(id) ? 0 : 1; }), 0)
        << "another process must still see the device occupied";
    EXPECT_EQ(test::run_in_child([&] {
                  try {
                      manager->manage_device(manager->open_device(held_.dump()), held_.dump());
                  } catch (std::runtime_error const& error) {
                      return std::string_view(error.what()) == "Device is already occupied" ? 0 : 2;
                  }
                  return 1;
              }),
              0)
        << "another process must not be able to own it";
    owned.reset();
    EXPECT_FALSE(detail::is_device_occupied(id)) << "released by the parent alone";
}

INSTANTIATE_TEST_SUITE_P(ChildEnds, InheritedDescriptor, testing::ValuesIn(child_ends),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

// A program started (fork and exec) by a process that holds a lock: a
// plug-in's helper. Its holder is then killed, as in a crash: a destructor
// would unlock explicitly, which takes the lock from every copy of the
// descriptor and so would hide one that the program inherited.
class ProgramOfAKilledHolder {
public:
    // With `streams_closed`, the holder closes 0, 1 and 2 first, so that the
    // lock's descriptor is moved above them.
    ProgramOfAKilledHolder(std::function<std::shared_ptr<void>()> const& take_lock, bool streams_closed)
        : holder_([take_lock, streams_closed](test::ChildProcess& self) {
              if (streams_closed) {
                  close(STDIN_FILENO);
                  close(STDOUT_FILENO);
                  close(STDERR_FILENO);
              }
              auto const lock = take_lock();
              pid_t program = -1;
              char const* const arguments[] = {"sleep", "600", nullptr};
              if (posix_spawn(&program, "/bin/sleep", nullptr, nullptr, const_cast<char* const*>(arguments),
                              environ) != 0) {
                  return 1;
              }
              for (char const digit : std::to_string(program) + ".") {
                  self.send(digit);
              }
              self.receive();  // killed meanwhile
              return 0;
          }) {
        std::string digits;
        for (char digit = holder_.receive(); digit != '.' && digit != '\0'; digit = holder_.receive()) {
            digits += digit;
        }
        program_ = digits.empty() ? -1 : std::stoi(digits);
        wait_until_exec_completed();
        holder_.kill(SIGKILL);
        holder_.wait();
    }
    ~ProgramOfAKilledHolder() {
        if (program_ > 0) {
            kill(program_, SIGKILL);  // no longer our child: init reaps it
        }
    }
    ProgramOfAKilledHolder(ProgramOfAKilledHolder const&) = delete;
    ProgramOfAKilledHolder& operator=(ProgramOfAKilledHolder const&) = delete;

    bool running() const { return program_ > 0 && kill(program_, 0) == 0; }

private:
    // posix_spawn returns once the program's exec has replaced its memory,
    // which is before the kernel closes its close-on-exec descriptors; the
    // program's name changes after that. Until then it still holds every
    // lock, whatever the library's flags, and a busy machine shows it.
    void wait_until_exec_completed() const {
        auto const comm = "/proc/" + std::to_string(program_) + "/comm";
        for (int tries = 0; program_ > 0 && tries < 10000; ++tries) {
            if (read_file(comm) == "sleep\n") {
                return;
            }
            usleep(1000);
        }
    }

    test::ChildProcess holder_;
    pid_t program_ = -1;
};

struct HeldAcrossExec {
    char const* name;
    char const* suffix;
    // Takes the lock on "<lock_id><suffix>", held while the result lives.
    std::function<std::shared_ptr<void>(std::string const& lock_id)> take;
    bool kept_by_program;  // whether the exec'd program keeps the file locked
    bool streams_closed;   // whether the holder runs with 0, 1 and 2 closed
};

void PrintTo(HeldAcrossExec const& held, std::ostream* out) { *out << held.name; }

std::shared_ptr<void> take_query_lock(std::string const& lock_id) {
    return std::make_shared<detail::InterprocessLock>(lock_id);
}
std::shared_ptr<void> take_ownership(std::string const& lock_id) {
    return std::make_shared<detail::OwnershipLock>(lock_id, true);
}

HeldAcrossExec const held_across_exec[] = {
    // A helper that kept a query lock would make every later scan of the
    // device wait for it.
    {"QueryLockIsNotKept", ".lock", take_query_lock, false, false},
    {"QueryLockMovedAboveClosedStreamsIsNotKept", ".lock", take_query_lock, false, true},
    // Ownership is handed down to the programs an owner starts.
    {"OwnershipIsKept", ".occupied", take_ownership, true, false},
    {"OwnershipMovedAboveClosedStreamsIsKept", ".occupied", take_ownership, true, true},
};

class LockAcrossExec : public DescriptorHygiene, public testing::WithParamInterface<HeldAcrossExec> {};

TEST_P(LockAcrossExec, ProgramStartedMeanwhileKeepsOnlyOwnership) {
    auto const id = lock_id(held_);
    auto const file = tmpdir_.lock_directory() / (id + GetParam().suffix);
    ProgramOfAKilledHolder const program([&] { return GetParam().take(id); }, GetParam().streams_closed);
    ASSERT_TRUE(program.running());

    int const lockable = test::run_in_child([&] {
        int const fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
        return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1;
    });
    ASSERT_TRUE(program.running()) << "the program must still run during the check";
    EXPECT_EQ(lockable, GetParam().kept_by_program ? 1 : 0) << file;
}

INSTANTIATE_TEST_SUITE_P(Locks, LockAcrossExec, testing::ValuesIn(held_across_exec),
                         [](auto const& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace zelm
