#include "lab_test_support.hpp"

#include <zelm/cluster.hpp>

#include <nlohmann/json.hpp>

#include <fstream>

namespace zelm::cluster_test {
namespace {

std::string write_family_config(std::filesystem::path const& dir) {
    auto const file = dir / "lab_family.json";
    nlohmann::json const config{{"devices",
                                 {{{"description", nlohmann::json::parse(lab_device)}, {"lab_wide", true}},
                                  {{"description", nlohmann::json::parse(local_device)}}}}};
    std::ofstream(file) << config.dump();
    return file.native();
}

}  // namespace

LabTest::LabTest() : config_("ZELM_SIM_CONFIG", write_family_config(tmpdir_.path())) {}

void LabTest::TearDown() { cluster::leave(); }

DeviceManager& LabTest::manager() {
    if (!manager_) {
        manager_ = get_device_manager(sim_plugin);
    }
    return *manager_;
}

std::string LabTest::key_of(std::string const& description) {
    return cluster::owner_key(manager().get_path(), description);
}

LabHost::LabHost(std::filesystem::path const& machine, std::string const& endpoints, std::string const& host_id,
                 std::string const& action, std::string const& description)
    : program_({"/usr/bin/env", "TMPDIR=" + machine.native(), "XDG_RUNTIME_DIR=" + machine.native(),
                lab_host_program.native(), endpoints, host_id, std::to_string(test_ttl.count()), sim_plugin.native(),
                description, action}) {}

std::string LabHost::next_line() {
    auto line = program_.read_line(event_timeout);
    if (!line) {
        ADD_FAILURE() << "lab_host printed no line in time; its errors: " << program_.err();
        return {};
    }
    return *line;
}

void revoke_every_lease(EtcdCluster const& cluster) {
    auto const listed = cluster.etcdctl({"lease", "list"});  // "found N leases", then one id a line
    auto at = listed.find('\n');
    while (at != std::string::npos && at + 1 < listed.size()) {
        auto const end = listed.find('\n', at + 1);
        cluster.etcdctl({"lease", "revoke", listed.substr(at + 1, end - at - 1)});
        at = end;
    }
}

std::string etcd_holder(EtcdCluster const& cluster, std::string const& key) {
    auto const value = cluster.etcdctl({"get", "--print-value-only", key});
    if (value.empty()) {
        return {};
    }
    auto const record = nlohmann::json::parse(value);
    return record.at("host").get<std::string>() + " " + std::to_string(record.at("pid").get<int>());
}

}  // namespace zelm::cluster_test
