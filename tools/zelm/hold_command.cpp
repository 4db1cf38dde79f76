// The hold command: owns one device until interrupted, for a while, or while
// a command runs, so that people, scripts and tests can keep others off it.
#include "child_command.hpp"
#include "commands.hpp"
#include "device_session.hpp"
#include "escape.hpp"
#include "exit_status.hpp"
#include "output.hpp"
#include "signals.hpp"

#include <zelm/cluster.hpp>
#include <zelm/managed_device.hpp>

#include <fmt/format.h>

#include <signal.h>
#include <string.h>
#include <unistd.h>
#include <chrono>
#include <csignal>

namespace zelm::tool {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// How often `--wait` tries again to own an occupied device.
constexpr auto retry_interval = 100ms;

Clock::time_point deadline_after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

[[noreturn]] void throw_interrupted(int signal, char const* while_doing) {
    throw std::runtime_error(fmt::format("interrupted by SIG{} {}", sigabbrev_np(signal), while_doing));
}

// How long one watch of a lab-wide device's key runs before SIGINT and
// SIGTERM are looked at again; a release ends the watch at once.
constexpr auto watch_slice = 1s;

// The error of a device still occupied when the wait is over, with the
// library's cause still nested.
void give_up_if_late(OccupiedError const& e, Clock::time_point deadline, double wait) {
    if (Clock::now() >= deadline) {
        std::throw_with_nested(OccupiedError(fmt::format("{} (waited {} s)", e.what(), wait), e.holder()));
    }
}

// Until another host's process lets the device go (its key is deleted or
// expires), the deadline passes, or a signal comes: watches of the key in
// the cluster, not tries at the device.
void watch_lab_release(SelectedDevice const& chosen, Clock::time_point deadline, TerminationSignals& signals) {
    auto const manager_path = chosen.manager->get_path();
    for (auto left = deadline - Clock::now(); left > Clock::duration::zero(); left = deadline - Clock::now()) {
        auto const slice = std::chrono::ceil<std::chrono::milliseconds>(std::min<Clock::duration>(left, watch_slice));
        bool const free = explained("cannot own " + device_name(chosen),
                                    [&] { return cluster::wait_until_free(manager_path, chosen.description, slice); });
        if (auto const signal = signals.poll()) {
            throw_interrupted(*signal, "while waiting for the device");
        }
        if (free) {
            return;
        }
    }
}

// Owns the device; with `wait`, tries again while another process owns it,
// until that many seconds have passed: at once when a lab-wide device's key
// goes, every retry_interval while a process of this machine holds it. A
// serial number names an occupied device too (by the one it showed when last
// free), so each try finds the device anew.
DeviceSession own(HoldOptions const& options, TerminationSignals& signals) {
    if (!options.wait) {
        return open_managed_device(options.target);
    }
    auto const deadline = deadline_after(*options.wait);
    for (;;) {
        auto const chosen = choose_device(options.target);
        try {
            return open_chosen_device(chosen);
        } catch (OccupiedError const& e) {
            give_up_if_late(e, deadline, *options.wait);
            if (e.holder() && e.holder()->lab_wide) {
                watch_lab_release(chosen, deadline, signals);
            } else if (auto const signal =
                           signals.wait(std::min<Clock::duration>(deadline - Clock::now(), retry_interval))) {
                throw_interrupted(*signal, "while waiting for the device");
            }
        }
    }
}

// Waits for SIGINT/SIGTERM, or until `seconds` have passed when given.
// Returns the signal that ended the wait, if one did.
std::optional<int> wait_until_done(TerminationSignals& signals, std::optional<double> seconds) {
    if (!seconds) {
        return signals.wait(std::nullopt);
    }
    auto const deadline = deadline_after(*seconds);
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
        if (auto signal = signals.wait(deadline - now)) {
            return signal;
        }
    }
    return std::nullopt;
}

std::string holding_line(std::string const& name, std::optional<double> seconds) {
    auto const until = seconds ? fmt::format("for {} s", *seconds) : std::string("until interrupted");
    return fmt::format("holding {} {}", name, until);
}

// An owner that has lost a lab-wide device's ownership must stop: the loss
// ends the hold as SIGTERM would (the command, if any, gets the SIGTERM),
// and the tool then fails naming the loss. The callback runs on the
// cluster's keep-alive thread; the signal reaches the main thread's wait,
// since every thread blocks it.
void stop_on_ownership_loss(DeviceSession const& session) {
    if (auto* const managed = dynamic_cast<ManagedDevice*>(session.device.get())) {
        managed->on_ownership_lost([](std::string const&) { ::kill(::getpid(), SIGTERM); });
    }
}

void fail_if_ownership_lost(DeviceSession const& session) {
    auto* const managed = dynamic_cast<ManagedDevice*>(session.device.get());
    if (auto const reason = managed != nullptr ? managed->ownership_lost() : std::nullopt) {
        throw std::runtime_error(
            fmt::format("gave up {}: {}", session.name, cluster::OwnershipLostError(*reason).what()));
    }
}

// Runs the command while the session owns the device; standard output is
// the command's alone.
void run_holding(DeviceSession& session, std::vector<std::string> const& command, TerminationSignals& signals) {
    if (auto const signal = signals.poll()) {
        throw_interrupted(*signal, "before the command started");
    }
    int const status = run_child_command(command, signals);
    fail_if_ownership_lost(session);
    session.device.reset();
    if (status != exit_success) {
        throw ExitStatus(status);
    }
}

}  // namespace

void run_hold(HoldOptions const& options) {
    TerminationSignals signals;  // first: plug-in threads must inherit the blocked mask
    // A script may stop reading once it has seen the holding line; the
    // release must not die of a broken pipe.
    std::signal(SIGPIPE, SIG_IGN);
    auto session = own(options, signals);
    stop_on_ownership_loss(session);
    if (!options.command.empty()) {
        run_holding(session, options.command, signals);
        return;
    }
    print_stdout(escaped(holding_line(session.name, options.seconds)) + "\n");
    auto const signal = wait_until_done(signals, options.seconds);
    fail_if_ownership_lost(session);
    session.device.reset();
    print_stdout(escaped(fmt::format("released {}{}", session.name,
                                     signal ? fmt::format(" on SIG{}", sigabbrev_np(*signal)) : "")) +
                 "\n");
}

}  // namespace zelm::tool
