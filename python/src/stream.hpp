// zelm.Stream: a device's read stream as a Python iterator of bytes. The
// library calls the stream's callback on the device's own thread; the
// callback only hands chunks to a bounded queue (and so holds the device back
// while Python is behind), and the iterator takes them with the GIL released
// while it waits.
#pragma once

#include "chunk_queue.hpp"

#include <zelm/device.hpp>

#include <pybind11/pybind11.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zelm::python {

class OwnedDevice;

// A started stream, shared by its zelm.Stream and the device that started
// it, so that either can stop it: stream.close(), and the device's close(),
// which stops its streams before it gives up the device.
class RunningStream {
public:
    RunningStream(std::shared_ptr<ChunkQueue> chunks, std::unique_ptr<Device::DataStream> running);
    // Stops, as stop() does, without the GIL.
    ~RunningStream();
    RunningStream(RunningStream const&) = delete;
    RunningStream& operator=(RunningStream const&) = delete;

    ChunkQueue& queue() { return *queue_; }
    // Stops the stream and waits until the device's thread has left it,
    // also when another thread is stopping it (except the thread stopping
    // it, say in a log handler, which returns at once). Throws what the
    // device's stop throws, to the caller that stops it. Call without the
    // GIL: the device's thread may log, and log lines go to Python.
    void stop();
    bool stopped() const;

private:
    enum class State { running, stopping, stopped };

    std::shared_ptr<ChunkQueue> queue_;
    mutable std::mutex mutex;
    std::condition_variable done;
    State state = State::running;
    std::thread::id stopper;
    std::unique_ptr<Device::DataStream> handle;
};

class Stream {
public:
    Stream(std::shared_ptr<RunningStream> running, std::string what);
    // A stream that Python drops without closing it closes here, as close()
    // closes it.
    ~Stream();
    Stream(Stream const&) = delete;
    Stream& operator=(Stream const&) = delete;

    // The next chunk. Throws pybind11::stop_iteration at the end and once
    // closed, std::runtime_error with the stream's message when it failed,
    // and what a signal handler raises while it waits (KeyboardInterrupt).
    pybind11::bytes next();
    // Stops the stream and waits until the device's thread has left it. Call
    // with the GIL held: it releases the GIL meanwhile.
    void close();
    bool closed() const { return running->stopped(); }
    std::string repr() const;

private:
    std::shared_ptr<RunningStream> running;
    std::string name;
};

// Starts a read stream of `size` bytes (0: until closed) from `address`, one
// that `owned` stops when it closes. Throws std::runtime_error when the
// device is closed (also while the stream starts) or starts no stream, and
// what the device throws.
std::unique_ptr<Stream> start_stream(OwnedDevice& owned, unsigned int address, unsigned long size);

}  // namespace zelm::python
