// The configurable test plug-in. Its behaviour comes from two places, both
// read anew on every call so that a test can change them at any time:
// - the JSON file "<this library's loaded path>.json" for the manager (name,
//   version, path, device list, failures, events log);
// - the device's own description, when it is a JSON object, for each device
//   (its answers, result codes, failures, delays).
// It appends what happens to the events log, one line per event written with
// one write() on an O_APPEND descriptor, so lines of concurrent processes
// never interleave. It does not link the library: the interfaces it
// implements are header-only.
//
// Manager configuration members (all optional):
//   name, version, path        texts for get_name, get_version, get_path
//                              (defaults "test", "0", this file's path)
//   list                       text list_devices returns verbatim; else
//   devices                    any JSON, returned dumped; else "[]"
//                              With list or devices configured, open_device
//                              opens only a description whose compact text
//                              is that of a listed one, as every manager
//                              must (a list that is not JSON lists none), and
//                              throws runtime_error("no such device:
//                              <compact text>") for any other; with neither,
//                              it opens any description.
//   list_throws / list_throws_int   list_devices throws runtime_error(text) / 7
//   create_throws              create_manager throws runtime_error(text)
//   create_throws_custom       create_manager throws PluginFault{text}
//   path_throws_custom         get_path throws PluginFault{text}
//   create_waits_for           create_manager, after its event, waits until
//                              this file exists
//   destroy_waits_for          the manager's destructor logs
//                              "manager_destroying", then waits until this
//                              file exists
//   events                     path of the events log
//   probe_on_destroy           a lock file the device's destructor tries to
//                              flock, appending " lock_free=1" or "=0"
//   crash_in / hang_in         "list_devices", "open_device", "get_info" or
//                              "get_status": abort() or sleep forever there
// Device description members (all optional):
//   info / info_text / info_error      get_info: JSON dumped / verbatim / an
//                                      error result; default {"Serial Number":
//                                      <"serial" member, else the description>}
//   status / status_text / status_error  the same for get_status, default
//                                      {"API":"test"}
//   info_throws / status_throws        the query throws runtime_error(text)
//   open_throws / open_throws_int      open_device throws runtime_error(text) / 9
//   open_throws_custom                 open_device throws PluginFault{text}
//   delay_ms                           get_info sleeps first
//   crash_in / hang_in                 as above, for this device only
//   set_register_result, send_registers_result, read_registers_result
//                                      result codes (default 0)
//   throw_in                           an operation's name: it throws
//                                      runtime_error("<name> failed")
//   throw_custom_in                    the same, throwing PluginError
//   no_stream                          start_read_stream returns no stream
// Events: create, list, open <description>, info, status, set_register,
// send_registers, read_registers, get_register, trigger, write, read,
// start_read_stream, own_sync, stream_stop, stream_wait_stop,
// stream_destroyed, device_destroyed (each followed by the device's compact
// description), manager_destroying, manager_destroyed, unload.
//
// PluginFault (no std::exception) and PluginError (a std::runtime_error) are
// exception types of this plug-in's own: their type information, destructor
// and what() live in this library, so it must stay loaded while one exists.
#include <zelm/device_manager.hpp>

#include <nlohmann/json.hpp>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

// The events path last seen, for the unload line written after every object
// of ours is gone; a plain array (and a mutex with a trivial destructor) so
// both are still intact at that point.
std::array<char, 4096> last_events_path{};
std::mutex last_events_mutex;

std::string own_path() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&own_path), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

void remember_events_path(std::string const& path) {
    std::lock_guard guard(last_events_mutex);
    if (path.size() < last_events_path.size()) {
        std::memcpy(last_events_path.data(), path.c_str(), path.size() + 1);
    }
}

struct PluginFault {
    std::string text;
    ~PluginFault();
};
PluginFault::~PluginFault() = default;

class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    ~PluginError() override;
    char const* what() const noexcept override { return std::runtime_error::what(); }
};
PluginError::~PluginError() = default;

// Returns once `file` exists: the test's signal to go on.
void wait_for_file(std::string const& file) {
    while (!std::filesystem::exists(file)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// The manager configuration; an empty object when the file is missing.
json load_config() {
    std::ifstream in(own_path() + ".json");
    if (!in) {
        return json::object();
    }
    std::string const text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto config = json::parse(text, nullptr, false);
    if (!config.is_object()) {
        return json::object();
    }
    if (auto const events = config.find("events"); events != config.end() && events->is_string()) {
        remember_events_path(events->get<std::string>());
    }
    return config;
}

std::string text_member(json const& object, char const* name, std::string fallback = {}) {
    if (!object.is_object()) {
        return fallback;
    }
    auto const found = object.find(name);
    return found != object.end() && found->is_string() ? found->get<std::string>() : fallback;
}

bool flag_member(json const& object, char const* name) {
    if (!object.is_object()) {
        return false;
    }
    auto const found = object.find(name);
    return found != object.end() && found->is_boolean() && found->get<bool>();
}

int int_member(json const& object, char const* name, int fallback) {
    if (!object.is_object()) {
        return fallback;
    }
    auto const found = object.find(name);
    return found != object.end() && found->is_number_integer() ? found->get<int>() : fallback;
}

void append_line(char const* events_path, std::string const& event, std::string const& detail) {
    if (events_path == nullptr || *events_path == '\0') {
        return;
    }
    std::string line = event + " " + std::to_string(getpid());
    if (!detail.empty()) {
        line += " " + detail;
    }
    line += "\n";
    int const fd = open(events_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return;
    }
    [[maybe_unused]] auto const written = ::write(fd, line.data(), line.size());
    close(fd);
}

void log_event(std::string const& event, std::string const& detail = {}) {
    auto const path = text_member(load_config(), "events");
    append_line(path.c_str(), event, detail);
}

// "crash_in" and "hang_in" name the operation where the plug-in aborts or
// sleeps forever; either the manager configuration or a device's own
// description may name it.
void maybe_fail_hard(std::string const& operation, json const& device_spec = json::object()) {
    auto const config = load_config();
    for (json const* source : {&config, &device_spec}) {
        if (text_member(*source, "crash_in") == operation) {
            std::abort();
        }
        if (text_member(*source, "hang_in") == operation) {
            for (;;) {
                std::this_thread::sleep_for(std::chrono::hours(1));
            }
        }
    }
}

// Tries the ownership lock file named by "probe_on_destroy": free means that
// nobody else holds it at this moment.
std::string probe_suffix() {
    auto const probe = text_member(load_config(), "probe_on_destroy");
    if (probe.empty()) {
        return {};
    }
    int const fd = open(probe.c_str(), O_RDONLY | O_CLOEXEC);
    bool free = false;
    if (fd >= 0) {
        free = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);
    }
    return free ? " lock_free=1" : " lock_free=0";
}

// "throw_in" / "throw_custom_in" name the operation that throws
// runtime_error / PluginError "<operation> failed".
void throw_if_asked_in(json const& behaviour, std::string const& operation) {
    if (text_member(behaviour, "throw_in") == operation) {
        throw std::runtime_error(operation + " failed");
    }
    if (text_member(behaviour, "throw_custom_in") == operation) {
        throw PluginError(operation + " failed");
    }
}

class TestStream final : public zelm::Device::DataStream {
public:
    TestStream(zelm::DataStream::Callback callback, json behaviour, std::string description)
        : callback_(std::move(callback)), behaviour_(std::move(behaviour)), description_(std::move(description)) {}
    ~TestStream() override { log_event("stream_destroyed", description_); }

    int stop() override {
        enter("stop", "stream_stop");
        if (callback_) {
            callback_(zelm::DataStream::Events::Stop{});
        }
        return 11;
    }
    int wait_stop() override {
        enter("wait_stop", "stream_wait_stop");
        return 12;
    }

private:
    void enter(std::string const& operation, std::string const& event) {
        log_event(event, description_);
        throw_if_asked_in(behaviour_, operation);
    }

    zelm::DataStream::Callback callback_;
    json behaviour_;
    std::string description_;
};

class TestDevice final : public zelm::Device {
public:
    TestDevice(json behaviour, std::string description) : behaviour_(std::move(behaviour)), description_(std::move(description)) {}
    ~TestDevice() override { log_event("device_destroyed", description_ + probe_suffix()); }

    // Overridden only to show that a wrapper never reaches them.
    int set_register_sync(unsigned int, unsigned int, unsigned int) override {
        log_event("own_sync", description_);
        return 99;
    }
    std::optional<unsigned int> get_register_sync(unsigned int) override {
        log_event("own_sync", description_);
        return 99;
    }

    int set_register(unsigned int address, unsigned int value, unsigned int) override {
        enter("set_register");
        int const result = int_member(behaviour_, "set_register_result", 0);
        if (result == 0) {
            staged_[address] = value;
        }
        return result;
    }
    int send_registers() override {
        enter("send_registers");
        int const result = int_member(behaviour_, "send_registers_result", 0);
        if (result == 0) {
            staged_.merge(committed_);  // keeps the staged value where both hold one
            committed_ = std::move(staged_);
            staged_.clear();
        }
        return result;
    }
    unsigned int get_register(unsigned int address) override {
        enter("get_register");
        auto const found = snapshot_.find(address);
        return found != snapshot_.end() ? found->second : 0;
    }
    int read_registers() override {
        enter("read_registers");
        int const result = int_member(behaviour_, "read_registers_result", 0);
        if (result == 0) {
            snapshot_ = committed_;
        }
        return result;
    }
    int trigger(unsigned int address, int operand) override {
        enter("trigger");
        return static_cast<int>(address) + operand;
    }
    int write(unsigned int address, unsigned long length, unsigned char const* data) override {
        enter("write");
        if (address > memory_.size() || length > memory_.size() - address) {
            return -1;
        }
        std::memcpy(memory_.data() + address, data, length);
        return static_cast<int>(length);
    }
    int read(unsigned int address, unsigned long length, unsigned char* data) override {
        enter("read");
        if (address > memory_.size() || length > memory_.size() - address) {
            return -1;
        }
        std::memcpy(data, memory_.data() + address, length);
        return static_cast<int>(length);
    }
    std::unique_ptr<DataStream> start_read_stream(unsigned int, zelm::DataStream::Callback&& callback,
                                                  unsigned long) override {
        enter("start_read_stream");
        if (flag_member(behaviour_, "no_stream")) {
            return {};
        }
        return std::make_unique<TestStream>(std::move(callback), behaviour_, description_);
    }
    zelm::TextResult get_status() override {
        log_event("status", description_);
        maybe_fail_hard("get_status", behaviour_);
        throw_if_asked("get_status", "status_throws");
        return answer("status", json{{"API", "test"}});
    }
    zelm::TextResult get_info() override {
        log_event("info", description_);
        maybe_fail_hard("get_info", behaviour_);
        if (int const delay = int_member(behaviour_, "delay_ms", 0); delay > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        }
        throw_if_asked("get_info", "info_throws");
        return answer("info", json{{"Serial Number", serial_number()}});
    }

private:
    void enter(std::string const& operation) {
        log_event(operation, description_);
        throw_if_asked_in(behaviour_, operation);
    }

    void throw_if_asked(std::string const& operation, char const* member) {
        throw_if_asked_in(behaviour_, operation);
        if (behaviour_.is_object() && behaviour_.contains(member) && behaviour_[member].is_string()) {
            throw std::runtime_error(behaviour_[member].get<std::string>());
        }
    }

    json serial_number() const {
        if (behaviour_.is_object() && behaviour_.contains("serial")) {
            return behaviour_["serial"];
        }
        return description_;
    }

    // "<kind>" (any JSON, dumped), "<kind>_text" (verbatim), "<kind>_error"
    // (an error result), else the fallback.
    zelm::TextResult answer(std::string const& kind, json const& fallback) const {
        if (behaviour_.is_object()) {
            if (auto const error = behaviour_.find(kind + "_error"); error != behaviour_.end() && error->is_string()) {
                return std::unexpected(error->get<std::string>());
            }
            if (auto const text = behaviour_.find(kind + "_text"); text != behaviour_.end() && text->is_string()) {
                return text->get<std::string>();
            }
            if (auto const value = behaviour_.find(kind); value != behaviour_.end()) {
                return value->dump();
            }
        }
        return fallback.dump();
    }

    json behaviour_;                // the parsed description, or null when it is not JSON
    std::string description_;  // compact when it is JSON, else verbatim
    std::map<unsigned int, unsigned int> staged_;
    std::map<unsigned int, unsigned int> committed_;
    std::map<unsigned int, unsigned int> snapshot_;
    std::vector<unsigned char> memory_ = std::vector<unsigned char>(4096);
};

// The compact texts of the configured device list's descriptions, taken as
// the scan takes them; none when no list is configured.
std::optional<std::set<std::string>> listed_texts(json const& config) {
    json list;
    if (config.contains("list") && config["list"].is_string()) {
        list = json::parse(config["list"].get<std::string>(), nullptr, false);
    } else if (config.contains("devices")) {
        list = config["devices"];
    } else {
        return std::nullopt;
    }
    std::set<std::string> texts;
    if (list.is_array() || list.is_object()) {
        for (auto const& description : list) {
            texts.insert(description.dump());
        }
    } else if (!list.is_null() && !list.is_discarded()) {
        texts.insert(list.dump());
    }
    return texts;
}

void refuse_unlisted(std::string const& compact) {
    auto const listed = listed_texts(load_config());
    if (listed && !listed->contains(compact)) {
        throw std::runtime_error("no such device: " + compact);
    }
}

class TestManager final : public zelm::DeviceManager {
public:
    ~TestManager() override {
        if (auto const gate = text_member(load_config(), "destroy_waits_for"); !gate.empty()) {
            log_event("manager_destroying");
            wait_for_file(gate);
        }
        log_event("manager_destroyed");
    }

    std::string get_name() override { return text_member(load_config(), "name", "test"); }
    std::string get_version() override { return text_member(load_config(), "version", "0"); }
    std::filesystem::path get_path() override {
        auto const config = load_config();
        if (auto const fault = config.find("path_throws_custom"); fault != config.end() && fault->is_string()) {
            throw PluginFault{fault->get<std::string>()};
        }
        return text_member(config, "path", own_path());
    }

    std::string list_devices() override {
        auto const config = load_config();
        log_event("list");
        maybe_fail_hard("list_devices");
        if (config.contains("list_throws") && config["list_throws"].is_string()) {
            throw std::runtime_error(config["list_throws"].get<std::string>());
        }
        if (flag_member(config, "list_throws_int")) {
            throw 7;
        }
        if (config.contains("list") && config["list"].is_string()) {
            return config["list"].get<std::string>();
        }
        if (config.contains("devices")) {
            return config["devices"].dump();
        }
        return "[]";
    }

    std::unique_ptr<zelm::Device> open_device(std::string const& description) override {
        auto behaviour = json::parse(description, nullptr, false);
        bool const is_json = !behaviour.is_discarded();
        if (!is_json) {
            behaviour = nullptr;
        }
        auto const compact = is_json ? behaviour.dump() : description;
        log_event("open", compact);
        refuse_unlisted(compact);
        maybe_fail_hard("open_device", behaviour);
        if (behaviour.is_object()) {
            if (auto const message = behaviour.find("open_throws"); message != behaviour.end() && message->is_string()) {
                throw std::runtime_error(message->get<std::string>());
            }
            if (flag_member(behaviour, "open_throws_int")) {
                throw 9;
            }
            if (auto const fault = behaviour.find("open_throws_custom"); fault != behaviour.end() && fault->is_string()) {
                throw PluginFault{fault->get<std::string>()};
            }
        }
        return std::make_unique<TestDevice>(std::move(behaviour), compact);
    }
};

// Runs when the library is unloaded (or at process exit while loaded).
__attribute__((destructor)) void report_unload() {
    std::lock_guard guard(last_events_mutex);
    append_line(last_events_path.data(), "unload", {});
}

}  // namespace

ZELM_PLUGIN_ENTRY zelm::DeviceManager* create_manager() {
    auto const config = load_config();
    log_event("create");
    if (auto const gate = text_member(config, "create_waits_for"); !gate.empty()) {
        wait_for_file(gate);
    }
    if (config.contains("create_throws")) {
        throw std::runtime_error(text_member(config, "create_throws"));
    }
    if (config.contains("create_throws_custom")) {
        throw PluginFault{text_member(config, "create_throws_custom")};
    }
    return new TestManager;
}
