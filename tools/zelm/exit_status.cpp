// Exceptions to exit statuses.
#include "exit_status.hpp"

#include "commands.hpp"
#include "selector.hpp"

#include <zelm/owner.hpp>

#include <exception>

namespace zelm::tool {

CommandOutcome run_for_outcome(std::function<void()> const& command) {
    try {
        command();
        return {};
    } catch (AmbiguousSelector const& e) {
        return {exit_usage, e.what(), e.candidates()};
    } catch (UsageError const& e) {
        return {exit_usage, e.what()};
    } catch (OccupiedError const& e) {
        return {exit_occupied, e.what()};
    } catch (DeviceOccupiedError const& e) {
        return {exit_occupied, e.what()};
    } catch (ExitStatus const& e) {
        return {e.status(), e.message()};
    } catch (std::exception const& e) {
        return {exit_failed, e.what()};
    } catch (...) {
        return {exit_failed, "unknown exception from plug-in code"};
    }
}

}  // namespace zelm::tool
