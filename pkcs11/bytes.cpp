#include "bytes.h"

namespace qav::p11 {

void Wipe(void* data, size_t length) {
    // Through a volatile pointer, so the stores are not dropped as dead.
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) p[i] = 0;
}

}  // namespace qav::p11
