#pragma once
// The LiveSource type of brimlet_columns.

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace brimlet::columns::py {

// New reference to the LiveSource type of `module` (borrowed), which must
// hold the Column type already; nullptr with an exception set. Registers the
// closing of the sources still open at interpreter exit.
PyObject* make_live_source_type(PyObject* module);

// Shared with the Capture type, which reads a port the same way.
// A timeout argument: seconds, or -1 with ValueError(`refusal`) set when it is NaN or negative.
double checked_timeout(double seconds, const char* refusal);
// A baudrate argument (None: the default) into `baud`; false with an exception set.
bool checked_baud(PyObject* baudrate, std::uint32_t& baud);
// Waits up to `seconds` (negative or endless: without a limit) with `wait`,
// in slices, without the interpreter lock; false with an exception set when
// a signal handler raised.
bool wait_ready(const std::function<bool(std::chrono::milliseconds)>& wait, double seconds);

}  // namespace brimlet::columns::py
