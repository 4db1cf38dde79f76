#include "serial_port_info.hpp"

#include <libserialport.h>

#include <fmt/format.h>

#include <filesystem>
#include <memory>

namespace zelm::modbus {
namespace {

struct PortDeleter {
    void operator()(sp_port* port) const noexcept { sp_free_port(port); }
};

void add_text(nlohmann::json& details, char const* key, char const* text) {
    if (text != nullptr && *text != '\0') {
        details[key] = text;
    }
}

}  // namespace

nlohmann::json usb_details(std::string const& port) {
    auto details = nlohmann::json::object();
    // libserialport finds a port's adapter by the device node's own name, so
    // a /dev/serial/by-id link is followed first.
    std::error_code error;
    auto const node = std::filesystem::canonical(port, error);
    sp_port* found = nullptr;
    if (error || sp_get_port_by_name(node.c_str(), &found) != SP_OK) {
        return details;
    }
    std::unique_ptr<sp_port, PortDeleter> const handle(found);
    if (sp_get_port_transport(handle.get()) != SP_TRANSPORT_USB) {
        return details;
    }
    int vendor = 0;
    int product = 0;
    if (sp_get_port_usb_vid_pid(handle.get(), &vendor, &product) == SP_OK) {
        details["USB Vendor ID"] = fmt::format("{:04x}", vendor);
        details["USB Product ID"] = fmt::format("{:04x}", product);
    }
    add_text(details, "USB Manufacturer", sp_get_port_usb_manufacturer(handle.get()));
    add_text(details, "USB Product", sp_get_port_usb_product(handle.get()));
    add_text(details, "USB Serial", sp_get_port_usb_serial(handle.get()));
    return details;
}

}  // namespace zelm::modbus
