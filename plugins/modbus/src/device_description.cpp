#include "device_description.hpp"

#include <nlohmann/json.hpp>

namespace zelm::modbus {

std::string compact_description(BusConfig const& bus, int unit) {
    return nlohmann::json{{"bus", bus.name()}, {"unit", unit}}.dump();
}

}  // namespace zelm::modbus
