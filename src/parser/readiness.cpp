#include "parser/readiness.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "serial/errno_text.hpp"

namespace brimlet {

Expected<std::shared_ptr<Readiness>, std::string> Readiness::make() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return Unexpected(file_errno_text(errno));
    return std::shared_ptr<Readiness>(new Readiness(fd));
}

Readiness::~Readiness() { ::close(fd_); }

void Readiness::show(bool up) {
    if (up == up_) return;
    up_ = up;
    // The counter is 1 while up and 0 while down; neither call can block on
    // a non-blocking eventfd whose counter stays this small.
    std::uint64_t value = 1;
    if (up) {
        (void)!::write(fd_, &value, sizeof value);
    } else {
        (void)!::read(fd_, &value, sizeof value);
    }
}

}  // namespace brimlet
