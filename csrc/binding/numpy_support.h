// numpy for the calls that return arrays: imported at their first use (numpy is an optional
// extra), with pybind11's table of numpy functions set up where no second thread can race it.
#pragma once

namespace lumo::binding {

// Imports numpy and sets up pybind11's numpy support, once per process; returns at once after
// that. Call it, holding the interpreter lock, before any pybind11 numpy helper runs. Raises
// ImportError(missing) when numpy is not installed.
void require_numpy(const char* missing);

}  // namespace lumo::binding
