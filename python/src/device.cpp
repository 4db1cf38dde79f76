// zelm.Device: the operations of an owned device in Python terms. Every call
// into the device runs with the GIL released, so other Python threads run on
// while a device answers.
#include "bindings.hpp"
#include "context_manager.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "json_values.hpp"
#include "numbers.hpp"
#include "owned_device.hpp"
#include "stream.hpp"

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <fmt/format.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;

namespace zelm::python {

namespace {

// Runs `call` on the device with the GIL released.
template <typename Call>
auto device_call(OwnedDevice const& owned, std::string_view operation, Call&& call) {
    auto device = owned.for_call(operation);
    return without_gil([&] {
        auto const held = std::move(device);  // dropped without the GIL (see for_call)
        return call(*held);
    });
}

void check_result(int result, std::string const& operation) {
    if (result != 0) {
        throw std::runtime_error(fmt::format("{} failed: the device returned {}", operation, result));
    }
}

// Device addresses, register values and operands, as the device takes them.
using Address = unsigned int;
using Value = unsigned int;

unsigned int get_register(OwnedDevice const& owned, Integer const& address_number) {
    auto const address = in_range<Address>(address_number, "address");
    auto const operation = fmt::format("get_register({:#x})", address);
    auto const value = device_call(owned, operation, [&](Device& device) { return device.get_register_sync(address); });
    if (!value) {
        throw std::runtime_error(fmt::format("{} failed: the device could not read its registers", operation));
    }
    return *value;
}

void set_register(OwnedDevice const& owned, Integer const& address_number, Integer const& value_number,
                  Integer const& operand_number) {
    auto const address = in_range<Address>(address_number, "address");
    auto const value = in_range<Value>(value_number, "value");
    auto const operand = in_range<unsigned int>(operand_number, "operand");
    auto const operation = fmt::format("set_register({:#x}, {})", address, value);
    check_result(device_call(owned, operation,
                             [&](Device& device) { return device.set_register_sync(address, value, operand); }),
                 operation);
}

void trigger(OwnedDevice const& owned, Integer const& address_number, Integer const& operand_number) {
    auto const address = in_range<Address>(address_number, "address");
    auto const operand = in_range<int>(operand_number, "operand");
    auto const operation = fmt::format("trigger({:#x}, {})", address, operand);
    check_result(device_call(owned, operation, [&](Device& device) { return device.trigger(address, operand); }),
                 operation);
}

py::bytes read(OwnedDevice const& owned, Integer const& address_number, Integer const& length_number) {
    auto const address = in_range<Address>(address_number, "address");
    // No bytes object is longer.
    auto const length = in_range<unsigned long>(length_number, "length", static_cast<unsigned long>(PY_SSIZE_T_MAX));
    auto const operation = fmt::format("read({:#x}, {})", address, length);
    auto device = owned.for_call(operation);
    // The device fills the bytes object in place: it is nobody else's yet.
    auto data = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!data) {
        throw py::error_already_set();
    }
    auto* const buffer = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(data.ptr()));
    auto const result = without_gil([&] {
        auto const held = std::move(device);  // dropped without the GIL (see for_call)
        return held->read(address, length, buffer);
    });
    check_result(result, operation);
    return data;
}

// A contiguous view of a bytes-like object, released when it goes: the
// object's own memory where it is contiguous, else a contiguous copy.
class ContiguousBytes {
public:
    explicit ContiguousBytes(py::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &view, PyBUF_C_CONTIGUOUS) == 0) {
            data_ = static_cast<unsigned char const*>(view.buf);
            size_ = static_cast<std::size_t>(view.len);
            return;
        }
        if (!PyErr_ExceptionMatches(PyExc_BufferError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        copy = py::bytes(py::memoryview(py::reinterpret_borrow<py::object>(object)).attr("tobytes")());
        auto const text = std::string_view(copy);
        data_ = reinterpret_cast<unsigned char const*>(text.data());
        size_ = text.size();
    }
    ~ContiguousBytes() {
        if (view.obj != nullptr) {
            PyBuffer_Release(&view);
        }
    }
    ContiguousBytes(ContiguousBytes const&) = delete;
    ContiguousBytes& operator=(ContiguousBytes const&) = delete;

    unsigned char const* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    Py_buffer view{};
    py::bytes copy;
    unsigned char const* data_ = nullptr;
    std::size_t size_ = 0;
};

// Any object that exports its bytes through the buffer protocol.
using Buffer = Typed<"Union[bytes, bytearray, memoryview]">;

void write(OwnedDevice const& owned, Integer const& address_number, Buffer const& data) {
    auto const address = in_range<Address>(address_number, "address");
    ContiguousBytes const bytes(data);
    auto const operation = fmt::format("write({:#x}, {} bytes)", address, bytes.size());
    check_result(device_call(owned, operation,
                             [&](Device& device) { return device.write(address, bytes.size(), bytes.data()); }),
                 operation);
}

// The JSON object that a query answers, or an error naming the query.
py::object query(OwnedDevice const& owned, std::string const& operation, TextResult (Device::*ask)()) {
    auto const answer = device_call(owned, operation, [&](Device& device) { return (device.*ask)(); });
    if (!answer) {
        throw std::runtime_error(fmt::format("{} failed: {}", operation, answer.error()));
    }
    try {
        return to_python(parse_json(*answer));
    } catch (nlohmann::json::parse_error const&) {
        throw std::runtime_error(fmt::format("{} answered text that is not JSON: {}", operation, *answer));
    } catch (JsonFailure const& error) {
        throw JsonFailure(fmt::format("{} answered {}", operation, error.what()));
    }
}

std::unique_ptr<Stream> stream(OwnedDevice& owned, Integer const& address, Integer const& size) {
    return start_stream(owned, in_range<Address>(address, "address"), in_range<unsigned long>(size, "size"));
}

int callable_or_none(PyObject* object) { return object == Py_None || PyCallable_Check(object) != 0; }
using LossCallback = Typed<"Optional[Callable[[str], object]]", callable_or_none>;

std::string repr(OwnedDevice const& owned) {
    return fmt::format("<zelm.Device {} ({}){}>", owned.description().dump(), owned.plugin().filename().native(),
                       owned.closed() ? " closed" : "");
}

}  // namespace

void bind_device(py::module_& module) {
    py::class_<OwnedDevice> device(module, "Device", R"(A device owned by this process, made by zelm.open().

The device is owned, across processes, from zelm.open() until close() or the
end of the `with` block that opened it, which first stop the device's
streams and wait for them; every call after that raises zelm.Error. Device
calls release the GIL. A result that reports failure raises zelm.Error
naming the operation. A lab-wide device whose ownership
is lost raises zelm.OwnershipLost on every call, without reaching the device.)");
    device.def("get_register", &get_register, py::arg("address"),
             "Reads the device's registers and returns the value of the one at `address`.")
        .def("set_register", &set_register, py::arg("address"), py::arg("value"), py::arg("operand") = 0,
             "Sets the register at `address` to `value` and sends it to the device.")
        .def("read", &read, py::arg("address"), py::arg("length"),
             "Reads `length` bytes from `address`.")
        .def("write", &write, py::arg("address"), py::arg("data"),
             "Writes the bytes of `data` (any bytes-like object, passed without a copy where it is contiguous) "
             "to `address`.")
        .def("trigger", &trigger, py::arg("address"), py::arg("operand"), "Triggers `address` with `operand`.")
        .def("stream", &stream, py::arg("address"), py::arg("size"),
             R"(Starts a read stream of `size` bytes (0: until closed) from `address`.

Use it as `with dev.stream(address, size) as s: for chunk in s: ...`; each
chunk is bytes. Leaving the block stops the stream and waits for it; so does
closing the device.)")
        .def_property_readonly(
            "info", [](OwnedDevice const& owned) { return query(owned, "info", &Device::get_info); },
            "The device's information, as the device answers it now (parsed JSON).")
        .def_property_readonly(
            "status", [](OwnedDevice const& owned) { return query(owned, "status", &Device::get_status); },
            "The device's status, as the device answers it now (parsed JSON).")
        .def_property_readonly(
            "description", [](OwnedDevice const& owned) { return to_python(owned.description()); },
            "The description that names the device in its plug-in's list (parsed JSON).")
        .def_property_readonly("plugin", &OwnedDevice::plugin, "The plug-in file the device was opened through.")
        .def_property_readonly("closed", &OwnedDevice::closed, "True once the device is closed.")
        .def_property_readonly(
            "lab_wide", [](OwnedDevice const& owned) { return owned.for_call("lab_wide")->lab_wide(); },
            "True when the device is owned lab-wide, through the cluster this process joined.")
        .def_property_readonly("ownership_lost", &OwnedDevice::ownership_lost,
                               "Why the device's lab-wide ownership is lost (or may have lapsed), or None while "
                               "it holds. Once lost, every call raises zelm.OwnershipLost.")
        .def(
            "on_ownership_lost",
            [](OwnedDevice& owned, LossCallback const& callback) { owned.on_ownership_lost(callback); },
            py::arg("callback"),
             R"(Calls `callback(reason)` once when the device's lab-wide ownership is lost, at once
when it is lost already. It runs on a thread of the library's own that runs
such callbacks one at a time (it takes the GIL), so it may block, close
devices or leave the cluster; an exception it raises goes to
sys.unraisablehook. Replaces
an earlier callback; None removes it. Does nothing for a device that is not
lab-wide.)")
        .def("close", &OwnedDevice::close,
             "Stops the device's streams and waits for them, then closes the device and gives up its "
             "ownership. Closing a closed device does nothing.")
        .def("__repr__", &repr);
    bind_closing_context(device, "Closes the device (see close()); exceptions pass on.");
}

}  // namespace zelm::python
