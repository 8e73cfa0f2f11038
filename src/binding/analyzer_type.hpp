// The CorpusWordAnalyzer class.
#pragma once

#include "python_support/python.hpp"

namespace lexispan::binding {

// The class object, created on first call (raises on failure).
[[nodiscard]] PyObject* analyzer_class();

}  // namespace lexispan::binding
