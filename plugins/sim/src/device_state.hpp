// What a simulated device keeps between processes: its registers and memory
// where they differ from the configured state, in one small file per device
// in the state directory (state_directory.hpp), so that a value written by
// one process is read back by the next.
#pragma once

#include "sim_config.hpp"
#include "state_directory.hpp"

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelm::sim {

class DeviceState {
public:
    // The state of `device`, which must outlive it. Nothing when the state
    // directory is refused: one warning per process then says why, and the
    // device keeps its state only while it is open.
    static std::optional<DeviceState> open(DeviceConfig const& device);

    // Replaces `registers` and `memory`, which hold the configured state, by
    // the saved state. A file that is missing, unreadable, too large, not
    // JSON, saved for another description or another configured state, or
    // holding anything out of range leaves them as they are. Throws
    // std::bad_alloc.
    void load(std::vector<unsigned int>& registers, std::vector<unsigned char>& memory) const;

    // Replaces the saved state by this one, whole or not at all: it is written
    // to a new file that is then renamed over the old. A failure costs one
    // warning and the saved state stays as it was. Throws std::bad_alloc.
    void save(std::vector<unsigned int> const& registers, std::vector<unsigned char> const& memory) const;

private:
    DeviceState(DeviceConfig const& device, StateDirectory directory);

    // The saved text; nothing when there is no file, an error when there is
    // one that cannot be read or is too large.
    std::expected<std::optional<std::string>, std::string> read_file() const;
    // Why the text could not be saved, or nothing once it is.
    std::optional<std::string> write_file(std::string const& text) const;
    void warn(std::string_view what, std::string_view reason) const;

    DeviceConfig const* device_;
    StateDirectory directory_;
    std::string file_name_;   // from the description's hash; the text itself is inside
    std::string configured_;  // names the configured state the saved one differs from
};

}  // namespace zelm::sim
