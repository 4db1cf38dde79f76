// The state file: one JSON object per device,
//
//   {"format": 1,
//    "description": "<the device's compact description>",
//    "configured": "<hash of the configured registers and memory size>",
//    "registers": [[address, value], ...],   registers that differ from the configuration
//    "memory": [[offset, "<hex bytes>"], ...]} runs of memory that differ from it
//
// named "<FNV-1a hash of the compact description>.json". The description and
// the configured state are inside, so that a hash collision or an edited
// configuration starts from the configured state instead of mixing states.
// The file lives in a directory that only its user can write to, yet it is
// read as text from outside: within bounds of size and nesting derived from
// the device's configuration, and checked member by member before any of it
// is used.
#include "device_state.hpp"

#include <zelm/plugin/bounded_json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <span>
#include <utility>

namespace zelm::sim {
namespace {

using nlohmann::json;

constexpr int state_format = 1;

// Changed bytes fewer than this apart are saved as one run, so that
// scattered writes do not cost a member each.
constexpr std::size_t run_gap = 8;

// The plug-in's own FNV-1a (64 bits): it uses nothing of the library.
std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char const byte : text) {
        hash = (hash ^ byte) * 0x100000001b3ULL;
    }
    return hash;
}

std::string configured_state_key(DeviceConfig const& device) {
    json const configured{
        {"format", state_format}, {"registers", device.registers}, {"memory_size", device.memory_size}};
    return fmt::format("{:016x}", fnv1a(configured.dump()));
}

// [begin, end) of memory that differs from the configured memory; runs are
// at least run_gap unchanged bytes apart.
struct Run {
    std::size_t begin;
    std::size_t end;
};

std::vector<Run> changed_runs(std::vector<unsigned char> const& memory) {
    std::vector<Run> runs;
    for (std::size_t i = 0; i < memory.size(); ++i) {
        if (memory[i] == configured_memory_byte(i)) {
            continue;
        }
        if (!runs.empty() && i - runs.back().end < run_gap) {
            runs.back().end = i + 1;
        } else {
            runs.push_back({i, i + 1});
        }
    }
    return runs;
}

std::size_t max_runs(std::size_t memory_size) { return memory_size / (run_gap + 1) + 1; }

// Generous bounds of what save writes for `device`: a description escaped
// at worst 6 bytes a byte, "[65535,4294967295]," per register, two hex
// digits per byte of memory and an offset with its brackets per run.
std::size_t max_file_size(DeviceConfig const& device) {
    return 1024 + 6 * device.compact_description.size() + 24 * device.registers.size() + 2 * device.memory_size +
           32 * max_runs(device.memory_size);
}

plugin::JsonBounds state_bounds(DeviceConfig const& device) {
    return {.max_depth = 3, .max_values = 16 + 3 * device.registers.size() + 3 * max_runs(device.memory_size)};
}

std::string to_hex(std::span<unsigned char const> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (unsigned char const byte : bytes) {
        hex.push_back(digits[byte >> 4U]);
        hex.push_back(digits[byte & 0xfU]);
    }
    return hex;
}

int hex_digit(char digit) {
    if (digit >= '0' && digit <= '9') {
        return digit - '0';
    }
    if (digit >= 'a' && digit <= 'f') {
        return digit - 'a' + 10;
    }
    return -1;
}

// Decodes `hex` into `out`, which has room for exactly its bytes.
bool from_hex(std::string_view hex, std::span<unsigned char> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        int const high = hex_digit(hex[2 * i]);
        int const low = hex_digit(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

json saved_registers(DeviceConfig const& device, std::vector<unsigned int> const& registers) {
    auto saved = json::array();
    for (std::size_t address = 0; address < registers.size(); ++address) {
        if (registers[address] != device.registers[address]) {
            saved.push_back({address, registers[address]});
        }
    }
    return saved;
}

json saved_memory(std::vector<unsigned char> const& memory) {
    auto saved = json::array();
    for (auto const& run : changed_runs(memory)) {
        saved.push_back({run.begin, to_hex(std::span(memory).subspan(run.begin, run.end - run.begin))});
    }
    return saved;
}

bool is_pair(json const& value) { return value.is_array() && value.size() == 2 && value[0].is_number_unsigned(); }

bool apply_registers(json const& saved, std::vector<unsigned int>& registers) {
    if (!saved.is_array()) {
        return false;
    }
    for (auto const& pair : saved) {
        if (!is_pair(pair) || pair[0].get<std::uint64_t>() >= registers.size() || !pair[1].is_number_unsigned() ||
            pair[1].get<std::uint64_t>() > 0xffff'ffffU) {
            return false;
        }
        registers[pair[0].get<std::size_t>()] = pair[1].get<unsigned int>();
    }
    return true;
}

bool apply_memory(json const& saved, std::vector<unsigned char>& memory) {
    if (!saved.is_array()) {
        return false;
    }
    for (auto const& run : saved) {
        if (!is_pair(run) || !run[1].is_string()) {
            return false;
        }
        auto const offset = run[0].get<std::uint64_t>();
        auto const& hex = run[1].get_ref<std::string const&>();
        if (hex.size() % 2 != 0 || offset > memory.size() || hex.size() / 2 > memory.size() - offset ||
            !from_hex(hex, std::span(memory).subspan(offset, hex.size() / 2))) {
            return false;
        }
    }
    return true;
}

bool is_text_member(json const& object, char const* key, std::string const& expected) {
    auto const found = object.find(key);
    return found != object.end() && found->is_string() && found->get_ref<std::string const&>() == expected;
}

}  // namespace

std::optional<DeviceState> DeviceState::open(DeviceConfig const& device) {
    auto directory = open_state_directory();
    if (!directory) {
        static std::once_flag warned;
        std::call_once(warned, [&] {
            spdlog::warn("Simulated devices keep no state between processes: {}", directory.error());
        });
        return std::nullopt;
    }
    return DeviceState(device, std::move(*directory));
}

DeviceState::DeviceState(DeviceConfig const& device, StateDirectory directory)
    : device_(&device),
      directory_(std::move(directory)),
      file_name_(fmt::format("{:016x}.json", fnv1a(device.compact_description))),
      configured_(configured_state_key(device)) {}

void DeviceState::warn(std::string_view what, std::string_view reason) const {
    spdlog::warn("Simulated device {} {} {}: {}", device_->compact_description, what,
                 (directory_.path / file_name_).native(), reason);
}

std::expected<std::optional<std::string>, std::string> DeviceState::read_file() const {
    FileDescriptor file(
        ::openat(directory_.descriptor.get(), file_name_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return std::unexpected(std::string(std::strerror(errno)));
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        return std::unexpected(std::string(std::strerror(errno)));
    }
    if (!S_ISREG(status.st_mode)) {
        return std::unexpected(std::string("not a regular file"));
    }
    auto const limit = max_file_size(*device_);
    // One byte more than the limit tells a file that grew past it since fstat.
    std::string text(std::min<std::uint64_t>(static_cast<std::uint64_t>(status.st_size), limit) + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        auto const count = ::read(file.get(), text.data() + length, text.size() - length);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return std::unexpected(std::string(std::strerror(errno)));
        }
        if (count == 0) {
            break;
        }
        length += static_cast<std::size_t>(count);
    }
    if (length > limit) {
        return std::unexpected(fmt::format("larger than {} bytes", limit));
    }
    text.resize(length);
    return text;
}

void DeviceState::load(std::vector<unsigned int>& registers, std::vector<unsigned char>& memory) const {
    auto const text = read_file();
    if (!text || !*text) {
        if (!text) {
            warn("ignores its saved state", text.error());
        }
        return;
    }
    auto const saved = plugin::parse_bounded(**text, state_bounds(*device_));
    if (!saved || !saved->is_object()) {
        warn("ignores its saved state", "not a JSON object within bounds");
        return;
    }
    auto const format = saved->find("format");
    if (format == saved->end() || *format != state_format ||
        !is_text_member(*saved, "description", device_->compact_description) ||
        !is_text_member(*saved, "configured", configured_)) {
        return;  // saved for another device, configuration or format: not ours to use
    }
    auto saved_registers = registers;
    auto saved_memory = memory;
    if (!apply_registers(saved->value("registers", json()), saved_registers) ||
        !apply_memory(saved->value("memory", json()), saved_memory)) {
        warn("ignores its saved state", "a register or memory entry is malformed or out of range");
        return;
    }
    registers = std::move(saved_registers);
    memory = std::move(saved_memory);
}

void DeviceState::save(std::vector<unsigned int> const& registers, std::vector<unsigned char> const& memory) const {
    json const state{{"format", state_format},
                     {"description", device_->compact_description},
                     {"configured", configured_},
                     {"registers", saved_registers(*device_, registers)},
                     {"memory", saved_memory(memory)}};
    if (auto const failure = write_file(state.dump())) {
        warn("cannot save its state in", *failure);
    }
}

std::optional<std::string> DeviceState::write_file(std::string const& text) const {
    // Unique within the process and among processes; the directory is
    // ours alone, so O_EXCL only guards against our own leftovers.
    static std::atomic<unsigned long> next_file = 0;
    auto const temporary = fmt::format("{}.{}-{}.tmp", file_name_, ::getpid(), next_file++);
    int const directory = directory_.descriptor.get();
    FileDescriptor file(::openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                 0600));
    if (!file) {
        return std::string(std::strerror(errno));
    }
    auto const failed = [&](int error) {
        ::unlinkat(directory, temporary.c_str(), 0);
        return std::optional<std::string>(std::strerror(error));
    };
    for (std::size_t written = 0; written < text.size();) {
        auto const count = ::write(file.get(), text.data() + written, text.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return failed(count < 0 ? errno : EIO);
        }
        written += static_cast<std::size_t>(count);
    }
    if (::close(file.release()) != 0) {
        return failed(errno);
    }
    if (::renameat(directory, temporary.c_str(), directory, file_name_.c_str()) != 0) {
        return failed(errno);
    }
    return std::nullopt;
}

}  // namespace zelm::sim
