// A counter device of the example family: a few registers, a small memory,
// a trigger count. It lives in memory only, so each opened object starts
// afresh; a real device would talk to its hardware here.
#pragma once

#include <zelm/device.hpp>

#include <array>
#include <string>

namespace example {

class CounterDevice : public zelm::Device {
public:
    explicit CounterDevice(std::string serial);

    int set_register(unsigned int address, unsigned int value, unsigned int operand) override;
    int send_registers() override;
    unsigned int get_register(unsigned int address) override;
    int read_registers() override;
    int trigger(unsigned int address, int operand) override;
    int write(unsigned int address, unsigned long length, unsigned char const* data) override;
    int read(unsigned int address, unsigned long length, unsigned char* data) override;
    std::unique_ptr<DataStream> start_read_stream(unsigned int address, zelm::DataStream::Callback&& callback,
                                                  unsigned long size) override;
    zelm::TextResult get_status() override;
    zelm::TextResult get_info() override;

private:
    static constexpr std::size_t register_count = 8;
    static constexpr std::size_t memory_size = 256;

    bool in_memory(unsigned int address, unsigned long length) const;

    std::string serial_;
    std::array<unsigned int, register_count> staged_{};     // set_register writes here...
    std::array<unsigned int, register_count> registers_{};  // ...send_registers commits here...
    std::array<unsigned int, register_count> snapshot_{};   // ...read_registers copies here for get_register
    std::array<unsigned char, memory_size> memory_{};
    unsigned long triggers_ = 0;
};

}  // namespace example
