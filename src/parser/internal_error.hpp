#pragma once
// A broken expectation inside the native code. It is kept apart from the
// plain failure texts (which Python sees as IOError) so that the boundary can
// raise it as its own exception.

#include <source_location>
#include <string>

namespace brimlet {

struct InternalError {
    std::string message;
    std::source_location where = std::source_location::current();
};

}  // namespace brimlet
