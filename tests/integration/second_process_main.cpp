// Another application on the same key: opens it through the library and
// sends GET CHALLENGE once. It prints "open=XXXXXXXX" as soon as the key is
// open and "transmit=XXXXXXXX sw=XXXX" once the command is answered, so a
// test holding the card in a transaction can see where it waits.
#include <qavseal/qavseal.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s READER\n", argv[0]);
        return 2;
    }
    if (QAV_Initialize(0) != QAV_OK) return 1;
    QAV_HANDLE handle = 0;
    const uint32_t opened = QAV_OpenDevice(argv[1], &handle, 0);
    std::printf("open=%08X\n", opened);
    std::fflush(stdout);
    if (opened == QAV_OK) {
        const uint8_t challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
        uint8_t answer[256];
        uint32_t length = sizeof answer;
        uint32_t status = 0;
        const uint32_t sent =
            QAV_Transmit(handle, challenge, sizeof challenge, answer, &length, &status, 0);
        std::printf("transmit=%08X sw=%04X\n", sent, status);
        QAV_CloseDevice(handle, 0);
    }
    QAV_Finalize(0);
    return 0;
}
