// A simulated device: a register file with staged writes and snapshot reads,
// a byte-addressed memory, a trigger counter and read streams over the
// memory, answering its configured information and status.
#pragma once

#include "device_state.hpp"
#include "sim_config.hpp"

#include <zelm/device.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace zelm::sim {

// Registers and memory outlive the device object: the first operation on
// either brings in what the last open of the device saved (device_state.hpp),
// and every change that reaches them (send_registers, a write) is saved at
// once. Queries (info, status) touch no saved state, so a scan neither reads
// nor writes it. Two device objects open at once do not see each other's
// changes; the one that saves last wins. The trigger count starts at 0 on
// every open. Operations may be called from several threads at once.
//
// Meanings of the arguments that the device interface leaves open:
// - register operand: unused (accepted and ignored);
// - trigger: every call counts one trigger, whatever its arguments; status
//   reports the count as "Triggers";
// - write/read: `address` is a byte offset into memory; 0 on success, 1 when
//   [address, address + length) leaves memory or data is null (nothing is
//   then copied);
// - start_read_stream: delivers memory as it is at the start, from byte
//   `address` onwards, wrapping round at its end; `size` is the number of
//   bytes to deliver, 0 meaning until stopped. An address outside memory, or
//   an empty callback, starts no stream (an empty handle).
class SimDevice final : public Device {
public:
    explicit SimDevice(std::shared_ptr<DeviceConfig const> config);

    // Returns 1 for an address beyond the register file.
    int set_register(unsigned int address, unsigned int value, unsigned int operand) override;
    int send_registers() override;
    // Throws std::out_of_range for an address beyond the register file.
    unsigned int get_register(unsigned int address) override;
    int read_registers() override;

    int trigger(unsigned int address, int operand) override;
    int write(unsigned int address, unsigned long length, unsigned char const* data) override;
    int read(unsigned int address, unsigned long length, unsigned char* data) override;
    std::unique_ptr<DataStream> start_read_stream(unsigned int address, ::zelm::DataStream::Callback&& callback,
                                                  unsigned long size) override;

    TextResult get_status() override;
    TextResult get_info() override;

private:
    // Both with mutex_ held.
    void load_state();
    void save_state() const;
    bool in_memory(unsigned int address, unsigned long length) const;

    std::shared_ptr<DeviceConfig const> config_;
    std::mutex mutex_;
    std::vector<unsigned int> registers_;          // what the hardware holds
    std::map<unsigned int, unsigned int> staged_;  // set but not yet sent
    std::vector<unsigned int> snapshot_;           // as of the last read_registers
    std::vector<unsigned char> memory_;
    std::uint64_t triggers_ = 0;
    bool state_loaded_ = false;
    std::optional<DeviceState> state_;  // nothing when no state is kept
};

}  // namespace zelm::sim
