// What the lab-wide ownership tests share: a fixture with a private TMPDIR
// and a simulated family of one lab-wide and one local device, and lab_host
// processes that each stand for a host of their own.
#pragma once

#include "etcd_peers.hpp"

#include <zelm/device_manager.hpp>

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace zelm::cluster_test {

inline std::filesystem::path const sim_plugin{ZELM_SIM_PLUGIN};
inline std::filesystem::path const lab_host_program{ZELM_LAB_HOST};

// The simulated family's two devices: one that other hosts reach too, one
// that only this machine does.
inline constexpr char const* lab_device = R"({"serial":"LAB-1"})";
inline constexpr char const* local_device = R"({"serial":"LOCAL-1"})";

// etcd's shortest lease, which keeps the failure cases quick.
inline constexpr std::chrono::seconds test_ttl{2};
// Only a bound, so that a broken case fails instead of hanging; sanitizer
// builds run many times slower than this needs.
inline constexpr std::chrono::seconds event_timeout{60};

// A table row's name as its test's name.
inline auto const case_name = [](auto const& param_info) { return std::string(param_info.param.name); };

// A private TMPDIR (lock files, device state, the family's configuration)
// for the test process, which uses the family through manager(). Leaves the
// cluster at the end, while the test's servers still run.
class LabTest : public ::testing::Test {
protected:
    LabTest();
    void TearDown() override;

    DeviceManager& manager();
    // The device's key in the cluster.
    std::string key_of(std::string const& description);

private:
    test::ScopedTmpdir tmpdir_;
    test::ScopedEnv config_;
    std::shared_ptr<DeviceManager> manager_;
};

// A lab_host process (see lab_host.cpp) on the machine whose TMPDIR and
// XDG_RUNTIME_DIR are `machine`. `endpoints` "-" runs it outside any cluster.
class LabHost {
public:
    LabHost(std::filesystem::path const& machine, std::string const& endpoints, std::string const& host_id,
            std::string const& action, std::string const& description = lab_device);

    // Its next line; fails the test and gives "" when none comes in time.
    std::string next_line();
    pid_t pid() const { return program_.pid(); }
    test::RunningProgram& program() { return program_; }

private:
    test::RunningProgram program_;
};

// Revokes every lease in the cluster with etcdctl: the owners lose their
// devices as when their leases expire.
void revoke_every_lease(EtcdCluster const& cluster);

// The holder's host and pid as an etcd client that is not the library reads
// them from the device's key; "" when there is no key.
std::string etcd_holder(EtcdCluster const& cluster, std::string const& key);

}  // namespace zelm::cluster_test
