// Lab-wide ownership against the etcd work it cannot avoid, on one etcd
// member started here (the cluster tests' peer) and stopped whatever happens:
// - acquiring and releasing a lab-wide simulated device in a joined process,
//   against the two transactions that any such acquisition makes: creating
//   the key if absent, bound to a lease, and deleting it, each one POST on a
//   reused libcurl handle whose bodies are made beforehand;
// - a warm scan of 1,000 simulated devices, 100 of them lab-wide, in a
//   joined process against the same scan without a cluster.
//
// The two sides of a ratio alternate, pair by pair; each side counts its
// best of several runs, a run being the median time of a few operations,
// timed on the wall clock (the round trips are waits, not work of this
// process).
#include "bench_support.hpp"

#include <etcd_peers.hpp>

#include "cluster/etcd_client.hpp"
#include "scan/process_cache.hpp"

#include <zelm/cluster.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/scan.hpp>

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace zelm::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr int pairs = 7;
constexpr int operations_per_run = 15;
constexpr int scanned_devices = 1000;
constexpr int lab_wide_devices = 100;
constexpr auto lease_ttl = std::chrono::seconds(10);

constexpr char const* acquisition_figure = "lab_wide_acquisition_vs_etcd_round_trips";
constexpr char const* acquisition_target = "<= 1.5";
constexpr char const* scan_figure = "joined_warm_scan_vs_alone";
constexpr char const* scan_target = "<= 1.2";

double seconds_of(auto const& work) {
    auto const start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The best run of `operation`: the least median time of operations_per_run.
double best_run(auto const& operation) {
    double best = 0;
    for (int run = 0; run < runs_per_side(); ++run) {
        std::vector<double> times;
        for (int i = 0; i < operations_per_run; ++i) {
            times.push_back(seconds_of(operation));
        }
        best = run == 0 ? median(times) : std::min(best, median(times));
    }
    return best;
}

// The median ratio of the times that `first` and `second` measure over the
// pairs, the sides taking turns at going first; `before_pair` runs before
// each pair, and `report` prints each pair's times.
double paired_ratio(auto const& first, auto const& second, auto const& before_pair, auto const& report) {
    std::vector<double> ratios;
    bool first_first = true;
    for (int pair = 0; pair < pairs; ++pair, first_first = !first_first) {
        before_pair();
        double a = 0;
        double b = 0;
        for (bool const is_first : {first_first, !first_first}) {
            if (is_first) {
                a = first();
            } else {
                b = second();
            }
        }
        report(a, b);
        ratios.push_back(a / b);
    }
    return median(ratios);
}

// 1,000 simulated devices, the last 100 of which other hosts reach too.
json lab_config() {
    auto const entry = [](int count, int first, bool lab_wide) {
        return json{{"count", count},
                    {"first_index", first},
                    {"description", {{"serial", "LAB-{index:05}"}, {"rack", "R1"}}},
                    {"info", {{"Model", "Simulated bench device"}, {"Slot", "{index}"}}},
                    {"keep_state", false},
                    {"lab_wide", lab_wide}};
    };
    int const local = scanned_devices - lab_wide_devices;
    return {{"name", "sim-bench"},
            {"devices", {entry(local, 1, false), entry(lab_wide_devices, local + 1, true)}}};
}

std::string lab_wide_description() {
    return json{{"serial", fmt::format("LAB-{:05}", scanned_devices)}, {"rack", "R1"}}.dump();
}

// ---- plain etcd requests -------------------------------------------------

size_t keep_answer(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// One libcurl handle, its connection kept between requests, posting JSON to
// the gateway.
class Gateway {
public:
    explicit Gateway(std::string endpoint) : endpoint_(std::move(endpoint)) {
        if (curl_ == nullptr || headers_ == nullptr) {
            throw std::bad_alloc();
        }
        curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, keep_answer);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer_);
    }
    ~Gateway() {
        curl_slist_free_all(headers_);
        curl_easy_cleanup(curl_);
    }
    Gateway(Gateway const&) = delete;
    Gateway& operator=(Gateway const&) = delete;

    // The answer to one POST; throws when the request fails.
    json post(std::string const& path, std::string const& body) {
        answer_.clear();
        auto const url = endpoint_ + path;
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        auto const result = curl_easy_perform(curl_);
        long status = 0;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
        if (result != CURLE_OK || status != 200) {
            throw std::runtime_error(fmt::format("POST {} failed: {} (HTTP {}) {}", url, curl_easy_strerror(result),
                                                 status, answer_));
        }
        return json::parse(answer_);
    }

private:
    std::string endpoint_;
    CURL* curl_ = curl_easy_init();
    curl_slist* headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
    std::string answer_;
};

// The two transactions of one lab-wide acquisition, with bodies made once:
// create the key if absent, bound to a lease; delete it if bound to that lease.
class KeyRoundTrips {
public:
    KeyRoundTrips(std::string const& endpoint, std::string const& key, std::string const& value) : gateway_(endpoint) {
        auto const lease =
            gateway_.post("/v3/lease/grant", json{{"TTL", std::to_string(lease_ttl.count())}}.dump()).at("ID");
        auto const encoded = detail::base64_encode(key);
        create_ = json{{"compare", {{{"target", "CREATE"}, {"result", "EQUAL"}, {"key", encoded},
                                     {"create_revision", "0"}}}},
                       {"success", {{{"request_put", {{"key", encoded}, {"value", detail::base64_encode(value)},
                                                      {"lease", lease}}}}}},
                       {"failure", {{{"request_range", {{"key", encoded}}}}}}}
                      .dump();
        delete_ = json{{"compare", {{{"target", "LEASE"}, {"result", "EQUAL"}, {"key", encoded}, {"lease", lease}}}},
                       {"success", {{{"request_delete_range", {{"key", encoded}}}}}}}
                      .dump();
    }

    void once() {
        if (!gateway_.post("/v3/kv/txn", create_).value("succeeded", false)) {
            throw std::runtime_error("the benchmark's key already exists");
        }
        gateway_.post("/v3/kv/txn", delete_);
    }

private:
    Gateway gateway_;
    std::string create_;
    std::string delete_;
};

// ---- the figures ---------------------------------------------------------

struct Lab {
    cluster_test::EtcdCluster etcd{1};
    std::vector<std::string> endpoints = etcd.endpoints();
    std::shared_ptr<DeviceManager> manager;
    fs::path plugin;

    explicit Lab(fs::path const& dir) {
        write_config(dir / "lab_manager.json", lab_config());
        plugin = copy_sim_plugin(dir, "lab_manager.so");
        manager = get_device_manager(plugin);
    }
};

// In the lab's cluster for its lifetime.
class Joined {
public:
    explicit Joined(Lab const& lab, cluster::Options const& options = {.host_id = "bench-host"}) {
        cluster::join(lab.endpoints, options);
    }
    ~Joined() { cluster::leave(); }
    Joined(Joined const&) = delete;
    Joined& operator=(Joined const&) = delete;
};

void acquisition(fs::path const& scratch) {
    auto const dir = scratch / "acquisition";
    set_tmpdir(dir / "tmp");
    Lab const lab(dir);
    auto const description = lab_wide_description();
    Joined const joined(lab, {.host_id = "bench-host", .ttl = lease_ttl});
    auto const acquire_and_release = [&] {
        if (!lab.manager->open_managed_device(description)->lab_wide()) {
            throw std::runtime_error("the device was not owned lab-wide");
        }
    };
    acquire_and_release();  // grants the lease, connects
    // A value as long as the owner record the library writes.
    auto const value = json{{"host", "bench-host"}, {"pid", 4194304}, {"command", "zelm_cluster_be"},
                            {"user", "root"}, {"since", "2026-01-01T00:00:00Z"}}
                           .dump();
    KeyRoundTrips plain(lab.endpoints.front(), cluster::owner_key(lab.manager->get_path(), description) + "-plain",
                        value);
    plain.once();
    auto const plain_once = [&plain] { plain.once(); };
    auto const ratio = paired_ratio([&] { return best_run(acquire_and_release); }, [&] { return best_run(plain_once); },
                                    [] {},
                                    [](double acquired, double round_trips) {
                                        fmt::print("lab-wide device: acquisition and release {:.3f} ms, create and "
                                                   "delete transactions {:.3f} ms\n",
                                                   acquired * 1e3, round_trips * 1e3);
                                    });
    print_figure(acquisition_figure, ratio, acquisition_target, ratio <= 1.5);
}

std::size_t found_count(ScanResults const& results) {
    return static_cast<std::size_t>(
        std::ranges::count_if(results, [](ScanResult const& r) { return std::holds_alternative<DeviceFound>(r); }));
}

void warm_scan(fs::path const& scratch) {
    auto const dir = scratch / "scan";
    Lab const lab(dir);
    auto const scan = [&lab] {
        if (found_count(scan_devices({lab.plugin})) != scanned_devices) {
            throw std::runtime_error("a scan did not find every device");
        }
    };
    int pair = 0;
    // Each pair starts from answers queried a moment before, in a fresh
    // TMPDIR, so that none goes stale while the pair is measured.
    auto const fresh_answers = [&] {
        set_tmpdir(dir / fmt::format("tmp{}", pair++));
        detail::process_cache().clear();
        scan();
    };
    auto const joined = [&] {
        Joined const in_cluster(lab);
        return best_run(scan);
    };
    auto const ratio =
        paired_ratio(joined, [&] { return best_run(scan); }, fresh_answers, [](double in_cluster, double alone) {
            fmt::print("warm scan of {} devices ({} lab-wide): joined {:.3f} ms, without a cluster {:.3f} ms\n",
                       scanned_devices, lab_wide_devices, in_cluster * 1e3, alone * 1e3);
        });
    print_figure(scan_figure, ratio, scan_target, ratio <= 1.2);
}

}  // namespace
}  // namespace zelm::bench

int main(int argc, char** argv) {
    using namespace zelm::bench;
    if (argc > 1) {
        std::cerr << "usage: " << argv[0] << " (no arguments)\n";
        return 2;
    }
    ScratchDir const scratch;
    run_figure(acquisition_figure, acquisition_target, acquisition, scratch.path());
    run_figure(scan_figure, scan_target, warm_scan, scratch.path());
    return 0;
}
