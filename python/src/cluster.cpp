// zelm.join_cluster, zelm.leave_cluster, zelm.in_cluster and
// zelm.cluster_host_id: this process's membership of a cluster, through
// which it owns lab-wide devices. Joining and leaving run without the GIL:
// leaving (also joining another cluster) tells the devices that lose their
// ownership at once, on this thread, and their callbacks take the GIL.
#include "bindings.hpp"
#include "gil.hpp"
#include "numbers.hpp"

#include <zelm/cluster.hpp>

#include <pybind11/stl.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace zelm::python {

namespace {

// A list of URLs, or "URL[,URL...]" as the tool's --cluster takes it.
using Endpoints = Typed<"Union[str, Sequence[str]]">;

std::vector<std::string> endpoints_of(Endpoints const& endpoints) {
    if (py::isinstance<py::str>(endpoints)) {
        return cluster::parse_endpoints(endpoints.cast<std::string>());
    }
    return endpoints.cast<std::vector<std::string>>();
}

int is_real(PyObject* number) { return PyFloat_Check(number) || PyIndex_Check(number); }
using Real = Typed<"float", is_real>;

std::chrono::seconds whole_seconds(double ttl) {
    // Past a billion seconds the conversion would overflow; no lease lives that long.
    if (!std::isfinite(ttl) || ttl != std::trunc(ttl) || std::abs(ttl) > 1e9) {
        throw py::value_error("Bad cluster time-to-live: " + py::repr(py::float_(ttl)).cast<std::string>() +
                              " s (a whole number of seconds)");
    }
    return std::chrono::seconds(static_cast<std::chrono::seconds::rep>(ttl));
}

// An integer beyond any lease's time-to-live but within 64 bits becomes a
// float that whole_seconds refuses; one beyond is out of range at once.
std::chrono::seconds time_to_live(Real const& ttl) {
    if (PyFloat_Check(ttl.ptr())) {
        return whole_seconds(ttl.cast<double>());
    }
    return whole_seconds(static_cast<double>(in_range<long long>(Integer(ttl), "ttl")));
}

void join_cluster(Endpoints const& endpoints, std::optional<std::string> host_id, Real const& ttl) {
    auto const urls = endpoints_of(endpoints);
    cluster::Options options;
    options.host_id = host_id.value_or("");
    options.ttl = time_to_live(ttl);
    try {
        without_gil([&] { cluster::join(urls, options); });
    } catch (std::invalid_argument const& error) {
        throw py::value_error(error.what());
    }
}

void leave_cluster() {
    without_gil([] { cluster::leave(); });
}

std::optional<std::string> cluster_host_id() {
    auto id = cluster::host_id();
    return id.empty() ? std::nullopt : std::optional(std::move(id));
}

}  // namespace

void bind_cluster(py::module_& module) {
    module.def("join_cluster", &join_cluster, py::arg("endpoints"), py::kw_only(), py::arg("host_id") = py::none(),
               py::arg("ttl") = 5.0,
               R"(Joins the etcd cluster at `endpoints`: from now on this process owns lab-wide devices
through it as well as through their local locks, and scans show their holders on every host.

`endpoints` is a list of URLs ("http://10.0.0.5:2379"), tried in turn, or
one text of them separated by commas. `host_id` names this host in the
cluster (default: the machine's host name). `ttl` is the lease's
time-to-live in whole seconds (at least 2): a host that crashes or is cut
off loses its devices that long after its last keep-alive. No server is
contacted until the first acquisition. Joining again replaces the cluster
(devices owned under the old one lose their ownership).

Raises ValueError for an endpoint that is not an http:// or https:// URL,
none at all, a bad host id or time-to-live.)");
    module.def("leave_cluster", &leave_cluster,
               "Leaves the cluster: this process's keys go at once, and its lab-wide devices lose their ownership "
               "(their next call raises zelm.OwnershipLost). Does nothing when not in a cluster.");
    // A process that ends leaves the cluster while Python still runs: the
    // devices it still holds are told on the way out, by callbacks that can
    // still run, and its lease is revoked at once.
    py::module_::import("atexit").attr("register")(py::cpp_function(&leave_cluster));
    module.def("in_cluster", &cluster::joined, "True between zelm.join_cluster() and zelm.leave_cluster().");
    module.def("cluster_host_id", &cluster_host_id, "This host's id in the cluster, or None when not in one.");
}

}  // namespace zelm::python
