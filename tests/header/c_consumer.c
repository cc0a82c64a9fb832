/* The public header must be plain C as well as C++. */
#include "qavseal/qavseal.h"

uint32_t qav_header_check(void) {
    char** names = 0;
    uint32_t count = 0;
    uint32_t rc = QAV_GetDeviceList(&names, &count, 0);
    return QAV_IS_CARD_STATUS(rc) ? QAV_CARD_STATUS(0x6A82u) : rc;
}
