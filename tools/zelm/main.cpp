// Entry point of the `zelm` tool.
#include "command_line.hpp"
#include "status_line.hpp"

int main(int argc, char** argv) {
    zelm::tool::install_stderr_logger();
    return zelm::tool::run_command_line(argc, argv);
}
