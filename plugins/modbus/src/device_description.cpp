#include "device_description.hpp"

#include <nlohmann/json.hpp>

namespace zelm::modbus {

std::string compact_description(BusIdentity const& bus, int unit) {
    return nlohmann::json{{"bus", bus.name}, {"unit", unit}}.dump();
}

// The compact text sorts its keys: "bus" comes first.
bool on_tcp_bus(std::string_view compact) noexcept { return compact.starts_with(R"({"bus":"tcp:)"); }

}  // namespace zelm::modbus
