// The DispersionMetrics class: a read-only record with sixteen attributes.
#pragma once

#include <vector>

#include "python_support/py_ref.hpp"
#include "metrics/dispersion_metrics.hpp"

namespace lexispan::binding {

// The class object, created on first call (raises on failure).
[[nodiscard]] PyObject* metrics_class();

// A new DispersionMetrics object owning a copy of `record`.
[[nodiscard]] PyRef to_python(const DispersionMetrics& record);
// A new list of new DispersionMetrics objects, in order.
[[nodiscard]] PyRef to_python(const std::vector<DispersionMetrics>& records);

}  // namespace lexispan::binding
