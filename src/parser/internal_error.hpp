#pragma once
// A broken expectation inside the native code. It is kept apart from the
// plain failure texts (which Python sees as IOError) so that the boundary can
// raise it as its own exception.

#include <string>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace brimlet {

#if defined(__cpp_lib_source_location)
using SourcePlace = std::source_location;
#else
// Where the library cannot say (libstdc++ before 13 with clang before 15), the
// compiler's own builtins (the function by its plain name).
struct SourcePlace {
    static constexpr SourcePlace current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                         unsigned column = __builtin_COLUMN(),
                                         const char* function = __builtin_FUNCTION()) noexcept {
        return {file, line, column, function};
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }
    constexpr unsigned column() const noexcept { return column_; }
    constexpr const char* function_name() const noexcept { return function_; }

    const char* file_;
    unsigned line_;
    unsigned column_;
    const char* function_;
};
#endif

struct InternalError {
    std::string message;
    SourcePlace where = SourcePlace::current();
};

}  // namespace brimlet
