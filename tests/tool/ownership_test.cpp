// `zelm hold` across processes: what others see while it holds a device
// (who holds it, when that can be known), and that the device comes free
// however the holder ends.
#include "tool_test_support.hpp"

#include <zelm/device_manager.hpp>
#include <zelm/lock.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace zelm::tool_test {
namespace {

using nlohmann::json;

class Ownership : public ToolTest {
protected:
    void SetUp() override {
        use_sim_config(sim_config(json::array({{{"description", held}}, {{"description", other}}})));
    }

    // The state `zelm scan` reports for each device, by serial.
    std::map<std::string, std::string> states() {
        std::map<std::string, std::string> by_serial;
        for (auto const& record : run_json({"scan", "--json", "--plugin", sim_plugin.native()})) {
            by_serial[record.at("description").at("serial").get<std::string>()] = record.at("state");
        }
        return by_serial;
    }

    Outcome hold_briefly() { return run_zelm({"hold", sim_plugin.native(), held.dump(), "--for", "0"}); }

    json const held{{"serial", "H-1"}};
    json const other{{"serial", "H-2"}};
};

using States = std::map<std::string, std::string>;

TEST_F(Ownership, HeldDeviceIsOccupiedForScansAndOtherHolders) {
    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());

    EXPECT_EQ(states(), (States{{"H-1", "occupied"}, {"H-2", "found"}}));
    auto const second = hold_briefly();
    EXPECT_EQ(second.status, 3);
    EXPECT_EQ(lines_of(second.err).size(), 1U) << second.err;
    EXPECT_NE(second.err.find("Device is already occupied by process " + std::to_string(holder.process().pid()) +
                              " (zelm)"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.out, "");
    // Device access goes through ownership too.
    EXPECT_EQ(run_zelm({"info", "--live", sim_plugin.native(), held.dump()}).status, 3);
}

// A device is owned before it is opened: a process that cannot own it never
// opens it, however it spells the description. The simulated family's open
// log names the process of every open on the machine.
TEST_F(Ownership, LoserNeverOpensTheHeldDevice) {
    json const numbered{{"model", "m"}, {"serial", 7}};
    use_sim_config({{"open_log", (scratch() / "opens.log").native()}, {"devices", {{{"description", numbered}}}}});
    Holder holder(sim_plugin, numbered);
    ASSERT_TRUE(holder.holding());
    auto const holder_pid = std::to_string(holder.process().pid());

    std::vector<std::string> const spellings{numbered.dump(), R"( { "serial": 7, "model": "m" } )",
                                             R"({"model":"m","serial":7.0})"};
    for (auto const& spelling : spellings) {
        for (std::vector<std::string> command : {std::vector<std::string>{"info", "--live"}, {"reg", "get"}}) {
            SCOPED_TRACE(command.front() + " " + spelling);
            command.insert(command.end(), {sim_plugin.native(), spelling});
            if (command.front() == "reg") {
                command.push_back("0");
            }
            auto const loser = run_zelm(command);
            EXPECT_EQ(loser.status, 3) << loser.err;
            EXPECT_NE(loser.err.find("Device is already occupied by process " + holder_pid + " (zelm)"),
                      std::string::npos)
                << loser.err;
        }
    }
    EXPECT_EQ(lines_of(test::read_file(scratch() / "opens.log")),
              std::vector<std::string>{holder_pid + " " + numbered.dump()});
}

// Holds a device's ownership lock where the kernel names no live process
// for it: the locker forks a keeper, which inherits the locked descriptor,
// and exits without unlocking. The keeper lets go when this is destroyed.
class OrphanedLock {
public:
    explicit OrphanedLock(std::string const& lock_id) {
        std::array<int, 2> release{};
        if (pipe2(release.data(), O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        release_ = release[1];
        pid_t const locker = fork();
        if (locker == 0) {
            close(release[1]);
            lock_and_leave(lock_id, release[0]);
        }
        close(release[0]);
        int status = 0;
        waitpid(locker, &status, 0);
        locked_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    ~OrphanedLock() { close(release_); }
    OrphanedLock(OrphanedLock const&) = delete;
    OrphanedLock& operator=(OrphanedLock const&) = delete;

    bool locked() const { return locked_; }

private:
    [[noreturn]] static void lock_and_leave(std::string const& lock_id, int release) {
        try {
            detail::OwnershipLock const lock(lock_id, true);
            if (fork() == 0) {
                char byte = 0;
                while (read(release, &byte, 1) < 0 && errno == EINTR) {
                }
                _exit(0);
            }
            _exit(0);  // the lock stays with the keeper: no destructor unlocks it
        } catch (...) {
            _exit(1);
        }
    }

    int release_ = -1;
    bool locked_ = false;
};

TEST_F(Ownership, HolderThatCannotBeIdentifiedIsShownAsUnknown) {
    OrphanedLock const lock(detail::make_lock_id(get_device_manager(sim_plugin)->get_path(), held));
    ASSERT_TRUE(lock.locked());

    auto const records = run_json({"scan", "--json", "--plugin", sim_plugin.native()});
    auto const table = parse_table(run_ok({"scan", "--plugin", sim_plugin.native()}).out);
    auto const hold = hold_briefly();

    ASSERT_EQ(records.size(), 2U) << records.dump();
    EXPECT_EQ(records[0].at("state"), "occupied");
    EXPECT_EQ(records[0].at("owner"), nullptr);
    ASSERT_EQ(table.size(), 2U);
    EXPECT_EQ(table[0].at("OWNER"), "unknown");
    EXPECT_EQ(hold.status, 3);
    EXPECT_TRUE(hold.err.ends_with(": Device is already occupied\n")) << hold.err;
}

// A holder that is asked to stop releases the device and says so.
class ReleaseOnSignal : public Ownership, public ::testing::WithParamInterface<int> {};

TEST_P(ReleaseOnSignal, ExitsCleanlyAndFreesTheDevice) {
    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());

    holder.process().signal(GetParam());
    auto const outcome = holder.process().finish();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(outcome.out.starts_with("released ")) << outcome.out;
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(states(), (States{{"H-1", "found"}, {"H-2", "found"}}));
}

INSTANTIATE_TEST_SUITE_P(Signals, ReleaseOnSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](auto const& param_info) { return std::string(sigabbrev_np(param_info.param)); });

TEST_F(Ownership, KilledHolderLeavesTheDeviceFree) {
    Holder holder(sim_plugin, held);
    ASSERT_TRUE(holder.holding());

    holder.process().signal(SIGKILL);
    EXPECT_EQ(holder.process().finish().status, 128 + SIGKILL);

    EXPECT_EQ(states(), (States{{"H-1", "found"}, {"H-2", "found"}}));
    auto const next = hold_briefly();
    EXPECT_EQ(next.status, 0) << next.err;
}

TEST_F(Ownership, TimedHoldReleasesByItself) {
    Holder holder(sim_plugin, held, {"--for", "0.2"});
    ASSERT_TRUE(holder.holding());

    auto const outcome = holder.process().finish();

    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_TRUE(outcome.out.starts_with("released ")) << outcome.out;
    EXPECT_EQ(states(), (States{{"H-1", "found"}, {"H-2", "found"}}));
}

}  // namespace
}  // namespace zelm::tool_test
