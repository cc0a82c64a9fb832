// Another application on the same key, through the library.
//
//   READER                      opens the key and sends GET CHALLENGE once. It
//                               prints "open=XXXXXXXX" as soon as the key is open
//                               and "transmit=XXXXXXXX sw=XXXX" once the command is
//                               answered, so a test holding the card in a
//                               transaction can see where it waits.
//   READER containers STOPFILE  opens the key, lists its containers and closes it,
//                               over and over until STOPFILE exists.
//   READER pictures STOPFILE    reads seal picture 1 over and over on one handle
//                               until STOPFILE exists; every read must equal the
//                               first.
// The loops print "round XXXXXXXX" after each round (its result) and, at
// the end, "rounds=N failures=N differing=N first=XXXXXXXX" (first: the first
// failure).
#include <qavseal/qavseal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace {

int OneChallenge(const char* reader) {
    QAV_HANDLE handle = 0;
    const uint32_t opened = QAV_OpenDevice(reader, &handle, 0);
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
    return 0;
}

struct Tally {
    unsigned rounds = 0;
    unsigned failures = 0;
    unsigned differing = 0;
    uint32_t first = 0;

    void Count(uint32_t rc) {
        ++rounds;
        std::printf("round %08X\n", rc);
        std::fflush(stdout);
        if (rc == QAV_OK) return;
        if (failures++ == 0) first = rc;
    }
};

uint32_t ListContainers(const char* reader) {
    QAV_HANDLE handle = 0;
    if (const uint32_t rc = QAV_OpenDevice(reader, &handle, 0)) return rc;
    char** names = nullptr;
    uint32_t count = 0;
    uint32_t rc = QAV_GetContainerList(handle, &names, &count, 0);
    if (rc == QAV_OK && count == 0) rc = QAV_E_NO_CONTAINER;
    const uint32_t closed = QAV_CloseDevice(handle, 0);
    return rc != QAV_OK ? rc : closed;
}

uint32_t ReadPicture(QAV_HANDLE handle, std::vector<uint8_t>* picture) {
    uint32_t length = 1;
    if (const uint32_t rc = QAV_GetSealPic(handle, 1, nullptr, &length, 0)) return rc;
    picture->assign(length, 0);
    if (const uint32_t rc = QAV_GetSealPic(handle, 1, picture->data(), &length, 0)) return rc;
    picture->resize(length);
    return QAV_OK;
}

int Loop(const char* reader, const char* mode, const char* stopFile) {
    Tally tally;
    QAV_HANDLE handle = 0;
    const bool pictures = std::strcmp(mode, "pictures") == 0;
    if (pictures && QAV_OpenDevice(reader, &handle, 0) != QAV_OK) return 1;
    std::vector<uint8_t> firstPicture;
    while (access(stopFile, F_OK) != 0) {
        // Room for the other application between two rounds: pcsc-lite
        // lets a connection waiting for the card try again every 100 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        if (!pictures) {
            tally.Count(ListContainers(reader));
            continue;
        }
        std::vector<uint8_t> picture;
        const uint32_t rc = ReadPicture(handle, &picture);
        tally.Count(rc);
        if (rc != QAV_OK) continue;
        if (firstPicture.empty()) firstPicture = picture;
        if (picture != firstPicture) ++tally.differing;
    }
    if (pictures) QAV_CloseDevice(handle, 0);
    std::printf("rounds=%u failures=%u differing=%u first=%08X\n", tally.rounds, tally.failures,
                tally.differing, tally.first);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool loop = argc == 4 && (std::strcmp(argv[2], "containers") == 0 ||
                                    std::strcmp(argv[2], "pictures") == 0);
    if (argc != 2 && !loop) {
        std::fprintf(stderr, "usage: %s READER [containers|pictures STOPFILE]\n", argv[0]);
        return 2;
    }
    if (QAV_Initialize(0) != QAV_OK) return 1;
    const int status = loop ? Loop(argv[1], argv[2], argv[3]) : OneChallenge(argv[1]);
    QAV_Finalize(0);
    return status;
}
