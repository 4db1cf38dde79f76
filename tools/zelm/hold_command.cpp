// The hold command: owns one device until interrupted or for a while, so that
// people (and tests) can see what other processes see of an owned device.
#include "commands.hpp"
#include "device_session.hpp"
#include "output.hpp"
#include "signals.hpp"

#include <fmt/format.h>

#include <string.h>
#include <chrono>
#include <csignal>

namespace zelm::tool {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for SIGINT/SIGTERM, or until `seconds` have passed when given.
// Returns the signal that ended the wait, if one did.
std::optional<int> wait_until_done(TerminationSignals& signals, std::optional<double> seconds) {
    if (!seconds) {
        return signals.wait(std::nullopt);
    }
    auto const deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*seconds));
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
        if (auto signal = signals.wait(deadline - now)) {
            return signal;
        }
    }
    return std::nullopt;
}

std::string holding_line(std::string const& name, std::optional<double> seconds) {
    auto const until = seconds ? fmt::format("for {} s", *seconds) : std::string("until interrupted");
    return fmt::format("holding {} {}\n", name, until);
}

}  // namespace

void run_hold(HoldOptions const& options) {
    TerminationSignals signals;  // first: plug-in threads must inherit the blocked mask
    // A script may stop reading once it has seen the holding line; the
    // release must not die of a broken pipe.
    std::signal(SIGPIPE, SIG_IGN);
    auto session = open_managed_device(options.target);
    print_stdout(holding_line(session.name, options.seconds));
    auto const signal = wait_until_done(signals, options.seconds);
    session.device.reset();
    print_stdout(fmt::format("released {}{}\n", session.name,
                             signal ? fmt::format(" on SIG{}", sigabbrev_np(*signal)) : ""));
}

}  // namespace zelm::tool
