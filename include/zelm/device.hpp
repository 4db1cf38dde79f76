// The device interface that every plug-in implements for its device family
// and that hosts drive: registers, triggers, block transfers, a streaming
// read with typed events, and two text queries (information and status).
//
// The virtual slot order is part of the binary interface between the library
// and separately built plug-ins: never reorder, insert or remove a slot.
#pragma once

#include <zelm/export.hpp>

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace zelm {

namespace DataStream {
namespace Events {
// The stream ended.
struct Stop {};
// The stream failed; no further data follows.
struct Error {
    std::string message;
};
// Data whose ownership passes to the receiver.
struct OwnedData {
    std::vector<unsigned char> data;
};
// Data the receiver may look at only during the callback.
struct DataView {
    std::span<unsigned char const> data;
};
}  // namespace Events

using Event = std::variant<Events::Stop, Events::Error, Events::OwnedData, Events::DataView>;
// Receives each event by rvalue reference, so it may move out of it.
using Callback = std::move_only_function<void(Event&&)>;
}  // namespace DataStream

// A device's information or status: JSON text, or an error text for people.
using TextResult = std::expected<std::string, std::string>;

// Reserved third parameter of the device template; no operation passes it.
struct BasicDeviceStatus {};

// Result codes (`int`): zero is success, anything else failure. No operation
// is const or noexcept: a device may report failure by result or by throwing,
// and the library passes either through unchanged.
template <typename Address, typename Value, typename Status>
class ZELM_API BasicDevice {
public:
    // A running stream. Destroying the handle is the only way to release it.
    class ZELM_API DataStream {
    public:
        virtual ~DataStream() = default;
        // Asks the stream to end.
        virtual int stop() = 0;
        // Waits until the stream has ended.
        virtual int wait_stop() = 0;
    };

    virtual ~BasicDevice() = default;

    // set_register, then send_registers when that succeeded. Returns 1 for any
    // failure of set_register (send_registers is then not called), otherwise
    // what send_registers returns. Exceptions of either pass through.
    virtual int set_register_sync(Address address, Value value, unsigned int operand) {
        if (set_register(address, value, operand) != 0) {
            return 1;
        }
        return send_registers();
    }
    // Stages a register value; send_registers transmits what was staged.
    virtual int set_register(Address address, Value value, unsigned int operand) = 0;
    virtual int send_registers() = 0;

    // read_registers, then get_register when that succeeded; empty when
    // read_registers failed. Exceptions of either pass through.
    virtual std::optional<Value> get_register_sync(Address address) {
        if (read_registers() != 0) {
            return std::nullopt;
        }
        return get_register(address);
    }
    // Returns one of the values fetched by the last read_registers.
    virtual Value get_register(Address address) = 0;
    virtual int read_registers() = 0;

    virtual int trigger(Address address, int operand) = 0;
    // Sends `length` bytes from `data`.
    virtual int write(Address address, unsigned long length, unsigned char const* data) = 0;
    // Fills `length` bytes of `data`.
    virtual int read(Address address, unsigned long length, unsigned char* data) = 0;
    // Starts a stream that delivers events to `callback`; the device may take
    // the callback over by moving from it. An empty handle: no stream started.
    virtual std::unique_ptr<DataStream> start_read_stream(Address address, ::zelm::DataStream::Callback&& callback,
                                                          unsigned long size) = 0;
    // Status as JSON text (an object whose "API" member names the interface).
    virtual TextResult get_status() = 0;
    // Information as JSON text (an object whose "Serial Number" member is a
    // string or a number).
    virtual TextResult get_info() = 0;
};

using Device = BasicDevice<unsigned int, unsigned int, BasicDeviceStatus>;

}  // namespace zelm
