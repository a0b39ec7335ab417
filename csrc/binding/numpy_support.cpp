// pybind11 2.11 keeps numpy's function table in a function-local static whose initialiser imports
// a module (npy_api::get()). An import runs Python code, which may hand the interpreter lock to
// another thread; that thread, reaching the same static, then waits on the static's hidden mutex
// while holding the lock the first one needs: both wait for ever. Here the table is set up by one
// thread at a time, with numpy's modules imported first; a thread that finds the set-up under way
// waits without the interpreter lock (as pybind11 2.12's gil_safe_call_once_and_store does).
#include "numpy_support.h"

#include <pthread.h>
#include <pybind11/numpy.h>

#include <chrono>
#include <thread>

namespace py = pybind11;

namespace lumo::binding {
namespace {

enum class Stage {
  kNotStarted,
  kImporting,  // a thread imports numpy's modules: other threads wait
  kTable,      // a thread is inside npy_api::get(), its static's mutex taken
  kReady,
  kLost,  // a child forked while another thread was inside npy_api::get()
};

// Only read or written with the interpreter lock held (and by the fork handler, in the child's one
// thread), so the lock is all they need.
Stage stage = Stage::kNotStarted;
pthread_t setter{};

// A child of fork has only the thread that forked. A set-up another thread had under way is begun
// again, unless that thread had taken the static's mutex, which nothing in the child can release.
void forget_setter_in_child() {
  if ((stage == Stage::kImporting || stage == Stage::kTable) && pthread_equal(setter, pthread_self()) == 0) {
    stage = stage == Stage::kImporting ? Stage::kNotStarted : Stage::kLost;
  }
}

void set_up(const char* missing) {
  try {
    py::module_::import("numpy");
  } catch (const py::error_already_set& error) {
    if (!error.matches(PyExc_ImportError)) throw;
    throw py::import_error(missing);
  }
  // The module npy_api::get() imports: once it is in sys.modules, that import finds it there.
  py::module_::import("numpy.core.multiarray");
  stage = Stage::kTable;
  py::detail::npy_api::get();
}

}  // namespace

void require_numpy(const char* missing) {
  // Its initialiser touches no Python object.
  static const int registered = pthread_atfork(nullptr, nullptr, &forget_setter_in_child);
  static_cast<void>(registered);
  for (;;) {
    switch (stage) {
      case Stage::kReady:
        return;
      case Stage::kLost:
        throw std::runtime_error(
            "this process was forked while another thread set up numpy, which cannot be set up here");
      case Stage::kNotStarted:
        stage = Stage::kImporting;
        setter = pthread_self();
        try {
          set_up(missing);
        } catch (...) {
          stage = Stage::kNotStarted;
          throw;
        }
        stage = Stage::kReady;
        return;
      case Stage::kImporting:
      case Stage::kTable:
        if (pthread_equal(setter, pthread_self()) != 0) {
          // Python code that numpy's import ran (an import hook) called us again.
          throw std::runtime_error("numpy is being set up by this thread's own call");
        }
        {
          py::gil_scoped_release unlocked;
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        break;
    }
  }
}

}  // namespace lumo::binding
