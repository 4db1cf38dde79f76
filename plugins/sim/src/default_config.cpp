// The devices that a manager offers when ZELM_SIM_CONFIG names no file: the
// ones the quick start scans. Written in the configuration format itself, so
// that it goes through the same checks as a user's file and doubles as an
// example of it.
#include "sim_config.hpp"

namespace zelm::sim {

std::string_view default_config_text() {
    return R"json({
  "name": "sim",
  "devices": [
    {
      "description": {"serial": "SIM-0001", "model": "sim-counter"},
      "info": {"Model": "Simulated counter", "Firmware": "1.0.0"}
    },
    {
      "description": {"serial": "SIM-0002", "model": "sim-sampler"},
      "info": {"Model": "Simulated sampler", "Firmware": "1.2.0", "Channels": 4},
      "registers": {"count": 64, "values": {"0x00": 1, "0x01": 1000}},
      "stream": {"chunk_size": 4096, "chunks_per_second": 250}
    },
    {
      "description": {"serial": "SIM-0003", "model": "sim-memory"},
      "info": {"Model": "Simulated memory bank", "Firmware": "0.9.3"},
      "memory_size": 65536
    }
  ]
})json";
}

}  // namespace zelm::sim
