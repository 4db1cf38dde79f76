// Every file and lock call that a probe, an acquisition, a scan, a managed
// device's life and a clean of the lock directory make, failed one at a time: each failure must give the sound
// result (a probe: occupied; an acquisition: a clear error; a scan: occupied,
// or a live query when the cache file is unusable), and never a crash, a
// hang, a leaked descriptor, a wrong answer or an owner without a lock.
#include "fault_injector.hpp"

#include "scan/process_cache.hpp"
#include "scan/query_cache.hpp"
#include "test_support.hpp"

#include <zelm/zelm.hpp>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>

namespace zelm::faults {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char const* busy = "Device is already occupied";

// Descriptor number → what it refers to, without the listing's own descriptor.
std::map<int, std::string> open_descriptors() {
    std::map<int, std::string> descriptors;
    for (auto const& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        auto const target = fs::read_symlink(entry.path(), error);
        if (!error && !target.native().starts_with("/proc/")) {
            descriptors.emplace(std::stoi(entry.path().filename()), target.native());
        }
    }
    return descriptors;
}

void clear_process_cache() { detail::process_cache().clear(); }

// Closes 0, 1 and 2 for its lifetime, as some hosts do, so that the library's
// descriptors would land there; notes whether any was left open at the end.
class StandardStreamsClosed {
public:
    StandardStreamsClosed() {
        std::fflush(nullptr);
        for (int fd = 0; fd < 3; ++fd) {
            saved_[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 10);
            close(fd);
        }
    }
    ~StandardStreamsClosed() {
        for (int fd = 0; fd < 3; ++fd) {
            dup2(saved_[fd], fd);
            close(saved_[fd]);
        }
    }
    StandardStreamsClosed(StandardStreamsClosed const&) = delete;
    StandardStreamsClosed& operator=(StandardStreamsClosed const&) = delete;

    // Whether something now sits on 0, 1 or 2.
    static bool any_taken() {
        for (int fd = 0; fd < 3; ++fd) {
            if (fcntl(fd, F_GETFD) != -1) {
                return true;
            }
        }
        return false;
    }

private:
    int saved_[3] = {-1, -1, -1};
};

// One run of an operation: its own lock directory, and what came out.
struct Case {
    test::ScopedTmpdir tmpdir;
    std::unique_ptr<detail::OwnershipLock> holder;  // another owner of the held device
    std::optional<bool> occupied;
    std::shared_ptr<detail::OwnershipLock> lock;
    std::unique_ptr<Device> device;
    std::optional<std::string> error;  // what the operation threw
    ScanResults results;
    std::optional<CleanSummary> cleaned;
    bool standard_stream_taken = false;
};

// An operation under test. `run` only acts (the standard streams may be
// closed meanwhile) and names its outcome; `verify` checks with real calls.
struct Operation {
    std::function<void(Case&)> prepare;
    std::function<std::string(Case&)> run;
    std::function<void(Case&, std::optional<Fault> const&)> verify;
    bool streams_closed = false;
};

// Runs `body`, noting what it throws; a name for the outcome.
template <typename Body>
std::string noting_errors(Case& run, Body const& body) {
    try {
        return body();
    } catch (std::runtime_error const& error) {
        run.error = error.what();
        return error.what() == std::string_view(busy) ? "refused as occupied" : "refused, cannot open";
    } catch (std::exception const& error) {
        run.error = std::string("unexpected exception: ") + error.what();
        return "unexpected exception";
    }
}

class SyscallFaults : public testing::Test {
protected:
    void SetUp() override {
        plugin_ = test::install_test_plugin(plugins_.path(), "fault_manager.so", {{"devices", {a_, b_, held_}}});
        manager_ = get_device_manager(plugin_);
    }
    void TearDown() override { clear_process_cache(); }

    std::string lock_id(json const& device) const { return detail::make_lock_id(manager_->get_path(), device); }
    fs::path ownership_file(json const& device) const { return test::ownership_lock_file(lock_id(device)); }
    // Whether nobody holds the device: a fresh lock object gets it.
    bool is_free(json const& device) const { return detail::OwnershipLock(lock_id(device), false).held(); }
    void hold(Case& run, json const& device) const {
        run.holder = std::make_unique<detail::OwnershipLock>(lock_id(device), true);
    }
    // A preparation that takes device A's ownership first when `held`.
    std::function<void(Case&)> holding_a(bool held) const {
        return [this, held](Case& run) {
            if (held) {
                hold(run, a_);
            }
        };
    }

    // A refusal must be one of the two documented errors, in one line; only a
    // failing flock may make a free device look occupied.
    void expect_clear_refusal(Case const& run, json const& device, std::optional<Fault> const& fault,
                              bool device_was_held) const {
        ASSERT_TRUE(run.error.has_value());
        auto const& message = *run.error;
        if (message == busy) {
            EXPECT_TRUE(device_was_held || (fault && fault->call == Call::flock)) << message;
            return;
        }
        auto const prefix = "Cannot open device lock file: " + ownership_file(device).native() + ": ";
        EXPECT_TRUE(message.starts_with(prefix) && message.size() > prefix.size()) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }

    // A lock that says it is held must be held, exclusively, on the file its
    // name refers to, above the standard streams.
    void expect_truly_owned(detail::OwnershipLock const& lock, json const& device) const {
        EXPECT_TRUE(lock.held());
        EXPECT_GT(lock.fd(), 2);
        struct stat held {};
        struct stat named {};
        ASSERT_EQ(fstat(lock.fd(), &held), 0);
        ASSERT_EQ(lstat(ownership_file(device).c_str(), &named), 0);
        EXPECT_EQ(held.st_ino, named.st_ino);
        EXPECT_FALSE(is_free(device)) << "owned without holding the lock";
    }

    // Found devices must carry their own serial; the held one is occupied.
    void expect_sound_scan(ScanResults const& results, bool faulted) const {
        ASSERT_EQ(results.size(), 3u);
        for (std::size_t i = 0; i < 2; ++i) {
            auto const serial = std::vector{a_, b_}[i].at("serial").get<std::string>();
            if (auto const* found = std::get_if<DeviceFound>(&results[i])) {
                EXPECT_EQ(found->serial_number, serial);
            } else {
                EXPECT_TRUE(faulted && std::holds_alternative<DeviceOccupied>(results[i])) << serial;
            }
        }
        EXPECT_TRUE(std::holds_alternative<DeviceOccupied>(results[2]));
    }

    std::string run_operation(Operation const& operation, Case& run) const {
        if (!operation.streams_closed) {
            return operation.run(run);
        }
        StandardStreamsClosed const closed;
        auto outcome = operation.run(run);
        run.standard_stream_taken = StandardStreamsClosed::any_taken();
        return outcome;
    }

    static void verify(Operation const& operation, Case& run, std::optional<Fault> const& fault) {
        EXPECT_FALSE(run.standard_stream_taken) << "a descriptor was left on 0, 1 or 2";
        operation.verify(run, fault);
    }

    CallCounts count_calls(Operation const& operation, FaultInjector& injector) const {
        Case run;
        operation.prepare(run);
        injector.count_only();
        run_operation(operation, run);
        injector.disarm();
        verify(operation, run, std::nullopt);
        return injector.counts();
    }

    // Counts the calls once, then fails each of them in turn in a fresh run.
    void sweep(std::string const& name, Operation const& operation) {
        FaultInjector injector;
        auto const counts = count_calls(operation, injector);
        ASSERT_FALSE(HasFailure()) << "the operation fails even without faults";
        std::map<std::string, int> outcomes;
        int injected = 0;
        for (auto const call : all_calls) {
            for (int nth = 1; nth <= counts[static_cast<std::size_t>(call)]; ++nth) {
                for (int const error : errors_for(call)) {
                    Fault const fault{call, nth, error};
                    SCOPED_TRACE(name + ", " + describe(fault));
                    auto const descriptors = open_descriptors();
                    {
                        Case run;
                        operation.prepare(run);
                        injector.arm(fault);
                        auto const outcome = run_operation(operation, run);
                        injector.disarm();
                        verify(operation, run, fault);
                        injected += injector.fired() ? 1 : 0;
                        ++outcomes[outcome];
                    }
                    clear_process_cache();
                    EXPECT_EQ(open_descriptors(), descriptors) << "a descriptor leaked";
                    if (HasFailure()) {
                        return;  // one clear failure beats a flood
                    }
                }
            }
        }
        report(name, counts, injected, outcomes);
    }

    static void report(std::string const& name, CallCounts const& counts, int injected,
                       std::map<std::string, int> const& outcomes) {
        std::cout << "[ figures  ] " << name << ": calls made";
        for (auto const call : all_calls) {
            if (int const count = counts[static_cast<std::size_t>(call)]; count > 0) {
                std::cout << ' ' << name_of(call) << '=' << count;
            }
        }
        std::cout << "; " << injected << " faults injected, " << injected << " survived; outcomes:";
        for (auto const& [outcome, count] : outcomes) {
            std::cout << ' ' << outcome << '=' << count;
        }
        std::cout << '\n';
    }

    Operation probe(bool held) const {
        return {
            .prepare = holding_a(held),
            .run = [this](Case& run) {
                return noting_errors(run, [&] {
                    run.occupied = detail::is_device_occupied(lock_id(a_));
                    return std::string(*run.occupied ? "occupied" : "free");
                });
            },
            .verify = [this, held](Case& run, std::optional<Fault> const&) {
                EXPECT_FALSE(run.error.has_value()) << *run.error;
                if (held) {
                    EXPECT_EQ(run.occupied, true) << "a held device probed free";
                    EXPECT_FALSE(is_free(a_)) << "the probe disturbed the holder";
                    run.holder.reset();
                }
                EXPECT_TRUE(is_free(a_)) << "the probe left a lock behind";
            },
        };
    }

    Operation acquisition(bool held, bool streams_closed = false) const {
        return {
            .prepare = holding_a(held),
            .run = [this](Case& run) {
                return noting_errors(run, [&] {
                    run.lock = detail::acquire_device_ownership_lock(manager_->get_path().native(), a_.dump());
                    return std::string("owned");
                });
            },
            .verify = [this, held](Case& run, std::optional<Fault> const& fault) {
                if (run.lock) {
                    EXPECT_FALSE(held) << "owned a device that another holds";
                    expect_truly_owned(*run.lock, a_);
                    run.lock.reset();
                } else {
                    expect_clear_refusal(run, a_, fault, held);
                }
                EXPECT_EQ(is_free(a_), !held);
                run.holder.reset();
                EXPECT_TRUE(is_free(a_));
            },
            .streams_closed = streams_closed,
        };
    }

    Operation managed_device_life() const {
        return {
            .prepare = [](Case&) {},
            .run = [this](Case& run) {
                return noting_errors(run, [&] {
                    run.device = manager_->manage_device(manager_->open_device(a_.dump()), a_.dump());
                    return std::string(run.device->get_info() ? "owned and used" : "owned, info failed");
                });
            },
            .verify = [this](Case& run, std::optional<Fault> const& fault) {
                if (run.device) {
                    EXPECT_FALSE(is_free(a_)) << "owned without holding the lock";
                    run.device.reset();
                } else {
                    expect_clear_refusal(run, a_, fault, false);
                }
                EXPECT_TRUE(is_free(a_));
            },
        };
    }

    // A scan of two free devices and one held by another owner. A warm scan
    // finds fresh records in the cache files (but not in this process).
    Operation scan(bool warm, bool streams_closed = false) const {
        return {
            .prepare = [this, warm](Case& run) {
                hold(run, held_);
                if (warm) {
                    scan_devices({plugin_});
                    clear_process_cache();
                }
            },
            .run = [this](Case& run) {
                run.results = scan_devices({plugin_});
                std::string letters;
                for (auto const& result : run.results) {
                    letters += std::holds_alternative<DeviceFound>(result) ? 'F'
                               : std::holds_alternative<DeviceOccupied>(result) ? 'O' : 'Q';
                }
                return letters;
            },
            .verify = [this](Case& run, std::optional<Fault> const& fault) {
                expect_sound_scan(run.results, fault.has_value());
                // What the faulted scan left, in this process and in the files,
                // must serve later scans right.
                expect_sound_scan(scan_devices({plugin_}), false);
                clear_process_cache();
                expect_sound_scan(scan_devices({plugin_}), false);
            },
            .streams_closed = streams_closed,
        };
    }

    // A clean with no age limit of the files that a scan left, while another
    // owner holds one device: whatever fails, the held file stays the
    // holder's, nothing stays locked, and the devices can be scanned and
    // owned afterwards.
    Operation clean() const {
        return {
            .prepare = [this](Case& run) {
                hold(run, held_);
                scan_devices({plugin_});
                clear_process_cache();
            },
            .run = [](Case& run) {
                return noting_errors(run, [&] {
                    run.cleaned = clean_lock_directory({.unused_for = std::chrono::seconds(0)});
                    return "removed " + std::to_string(run.cleaned->removed) + ", kept " +
                           std::to_string(run.cleaned->kept) + ", failed " +
                           std::to_string(run.cleaned->failures.size());
                });
            },
            .verify = [this](Case& run, std::optional<Fault> const& fault) {
                if (!fault) {
                    ASSERT_TRUE(run.cleaned.has_value()) << *run.error;
                    EXPECT_EQ(run.cleaned->removed, 4u) << "the free devices' files";
                    EXPECT_EQ(run.cleaned->kept, 1u) << "the held file";
                }
                if (run.error) {
                    EXPECT_TRUE(run.error->starts_with("Cannot clean: lock directory ")) << *run.error;
                    EXPECT_EQ(run.error->find('\n'), std::string::npos) << *run.error;
                } else {
                    for (auto const& failure : run.cleaned->failures) {
                        EXPECT_FALSE(failure.reason.empty()) << failure.file;
                    }
                }
                expect_truly_owned(*run.holder, held_);
                EXPECT_TRUE(is_free(a_)) << "the clean left a lock behind";
                expect_sound_scan(scan_devices({plugin_}), false);
                clear_process_cache();
                EXPECT_TRUE(detail::OwnershipLock(lock_id(b_), true).held());
            },
        };
    }

    test::TempDir plugins_;
    fs::path plugin_;
    std::shared_ptr<DeviceManager> manager_;
    json const a_ = {{"serial", "a"}};
    json const b_ = {{"serial", "b"}};
    json const held_ = {{"serial", "held"}};
};

// The sweeps fail only the calls that their operations make: together they
// must make every call of the seam, or some call's failure goes untested.
TEST_F(SyscallFaults, SweptOperationsMakeEveryCallOfTheSeam) {
    std::vector<Operation> const operations{probe(false),         probe(true),  acquisition(false),
                                            acquisition(true),    acquisition(false, true),
                                            managed_device_life(), scan(false), scan(true),
                                            scan(false, true),    clean()};
    FaultInjector injector;
    CallCounts made{};
    for (auto const& operation : operations) {
        auto const counts = count_calls(operation, injector);
        std::ranges::transform(made, counts, made.begin(), std::plus{});
        clear_process_cache();
    }
    for (auto const call : all_calls) {
        EXPECT_GT(made[static_cast<std::size_t>(call)], 0) << name_of(call) << " is never made, so never failed";
    }
}

TEST_F(SyscallFaults, ProbeOfAFreeDevice) { sweep("probe of a free device", probe(false)); }

TEST_F(SyscallFaults, ProbeOfAHeldDevice) { sweep("probe of a held device", probe(true)); }

TEST_F(SyscallFaults, AcquisitionOfAFreeDevice) { sweep("acquisition of a free device", acquisition(false)); }

TEST_F(SyscallFaults, AcquisitionOfAHeldDevice) { sweep("acquisition of a held device", acquisition(true)); }

TEST_F(SyscallFaults, AcquisitionWithStandardStreamsClosed) {
    sweep("acquisition, standard streams closed", acquisition(false, true));
}

TEST_F(SyscallFaults, ManagedDeviceLife) { sweep("managed device's life", managed_device_life()); }

TEST_F(SyscallFaults, ScanWithoutCacheFiles) { sweep("scan, no cache files yet", scan(false)); }

TEST_F(SyscallFaults, ScanWithFreshCacheFiles) { sweep("scan, fresh cache files", scan(true)); }

TEST_F(SyscallFaults, ScanWithStandardStreamsClosed) { sweep("scan, standard streams closed", scan(false, true)); }

TEST_F(SyscallFaults, CleanWhileADeviceIsHeld) { sweep("clean while a device is held", clean()); }

}  // namespace
}  // namespace zelm::faults
