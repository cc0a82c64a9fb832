#include "platform/thread.h"

#include <system_error>

namespace qav::platform {

bool StartThread(std::function<void()> body, std::thread* thread) noexcept {
    try {
        *thread = std::thread(std::move(body));
        return true;
    } catch (const std::system_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace qav::platform
