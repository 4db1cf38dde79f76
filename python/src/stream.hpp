// zelm.Stream: a device's read stream as a Python iterator of bytes. The
// library calls the stream's callback on the device's own thread; the
// callback only hands chunks to a bounded queue (and so holds the device back
// while Python is behind), and the iterator takes them with the GIL released
// while it waits.
#pragma once

#include "chunk_queue.hpp"

#include <zelm/device.hpp>

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

namespace zelm::python {

class OwnedDevice;

class Stream {
public:
    Stream(std::shared_ptr<ChunkQueue> chunks, std::unique_ptr<Device::DataStream> running, std::string what);
    // A stream that Python drops without closing it closes here, as close()
    // closes it.
    ~Stream();
    Stream(Stream const&) = delete;
    Stream& operator=(Stream const&) = delete;

    // The next chunk. Throws pybind11::stop_iteration at the end and once
    // closed, std::runtime_error with the stream's message when it failed.
    pybind11::bytes next();
    // Stops the stream and waits until the device's thread has left it. Call
    // with the GIL held: it releases the GIL meanwhile, since the device's
    // thread may log, and log lines go to Python.
    void close();
    bool closed() const { return handle == nullptr; }
    std::string repr() const;

private:
    std::shared_ptr<ChunkQueue> queue;
    std::unique_ptr<Device::DataStream> handle;
    std::string name;
};

// Starts a read stream of `size` bytes (0: until closed) from `address`.
// Throws std::runtime_error when the device is closed or starts no stream,
// and what the device throws.
std::unique_ptr<Stream> start_stream(OwnedDevice const& owned, unsigned int address, unsigned long size);

}  // namespace zelm::python
