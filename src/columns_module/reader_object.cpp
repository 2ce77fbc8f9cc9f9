// The argument checks and the wait that the reader types share.

#include "columns_module/reader_object.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>

#include "serial/serial_source.hpp"

namespace brimlet::columns::py {

using namespace std::chrono_literals;

// How long a wait goes without running signal handlers.
constexpr std::chrono::milliseconds kSignalCheck{100};
// A wait at least this long (about 31 years) never ends: its deadline
// would not fit the clock.
constexpr double kEndlessSeconds = 1e9;

double checked_timeout(double seconds, const char* refusal) {
    if (std::isnan(seconds) || seconds < 0) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return -1;
    }
    return seconds;
}

bool checked_baud(PyObject* baudrate, std::uint32_t& baud) {
    unsigned long value = kDefaultBaudrate;
    if (baudrate != Py_None) {
        value = PyLong_AsUnsignedLong(baudrate);
        if (PyErr_Occurred()) return false;
        if (value > 0xFFFFFFFFul) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
    }
    baud = static_cast<std::uint32_t>(value);
    return true;
}

bool wait_ready(const std::function<bool(std::chrono::milliseconds)>& wait, double seconds) {
    const bool forever = seconds < 0 || seconds >= kEndlessSeconds;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(forever ? 0.0 : seconds));
    for (;;) {
        auto slice = kSignalCheck;
        if (!forever) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            slice = std::clamp(left, 0ms, kSignalCheck);
        }
        bool ready;
        Py_BEGIN_ALLOW_THREADS
        ready = wait(slice);
        Py_END_ALLOW_THREADS
        if (ready || (!forever && std::chrono::steady_clock::now() >= deadline)) return true;
        if (PyErr_CheckSignals() != 0) return false;
    }
}

}  // namespace brimlet::columns::py
