/* A seal session through libqavseal: list the seal keys, open the first,
 * verify the user PIN, read the signer's certificate, sign a hash with the
 * seal key of a container, close.
 *
 * usage: seal_session [CONTAINER]        (default: the card's first container)
 *
 * The PIN is read from the environment variable QAVSEAL_PIN because this is
 * an example. An application asks the user for it (or passes flags 1 to
 * QAV_VerifyPIN to use the reader's PIN pad) and wipes it after use.
 */
#include <qavseal/qavseal.h>
#include <stdio.h>
#include <stdlib.h>

static int Fail(const char* what, uint32_t rc) {
    fprintf(stderr, "%s failed: 0x%08X\n", what, (unsigned)rc);
    return 1;
}

/* The buffer-size protocol: a null buffer asks for the size, then a buffer of
 * that size is filled. */
static int ShowCertificate(QAV_HANDLE device, const char* container) {
    uint32_t length = 0;
    uint32_t rc = QAV_ReadCert(device, container, NULL, &length, 0);
    if (rc != QAV_OK) return Fail("QAV_ReadCert (size)", rc);
    uint8_t* cert = malloc(length ? length : 1);
    if (cert == NULL) return Fail("malloc", QAV_E_NO_MEMORY);
    rc = QAV_ReadCert(device, container, cert, &length, 0);
    free(cert);
    if (rc != QAV_OK) return Fail("QAV_ReadCert", rc);
    printf("certificate of %s: %u bytes (DER)\n", container, (unsigned)length);
    return 0;
}

static int Sign(QAV_HANDLE device, const char* container) {
    /* An application signs the SM3 digest of its document; any 32 bytes do here. */
    uint8_t hash[32];
    for (unsigned i = 0; i < sizeof hash; ++i) hash[i] = (uint8_t)(i * 7 + 1);
    uint8_t signature[64];
    uint32_t length = sizeof signature;
    const uint32_t rc =
        QAV_SealSign(device, container, hash, sizeof hash, NULL, signature, &length, 0);
    if (rc != QAV_OK) return Fail("QAV_SealSign", rc);
    printf("signature (r || s): ");
    for (uint32_t i = 0; i < length; ++i) printf("%02X", signature[i]);
    printf("\n");
    return 0;
}

static int Session(const char* pin, const char* container) {
    char** readers = NULL;
    uint32_t count = 0;
    uint32_t rc = QAV_GetDeviceList(&readers, &count, 0);
    if (rc != QAV_OK) return Fail("QAV_GetDeviceList", rc);
    for (uint32_t i = 0; i < count; ++i) printf("seal key %u: %s\n", (unsigned)i, readers[i]);

    QAV_HANDLE device = 0;
    rc = QAV_OpenDevice(readers[0], &device, 0);
    if (rc != QAV_OK) return Fail("QAV_OpenDevice", rc);

    int failed = 0;
    uint32_t triesLeft = 0;
    rc = QAV_VerifyPIN(device, pin, &triesLeft, 0);
    if (rc == QAV_E_PIN_WRONG) {
        fprintf(stderr, "wrong PIN, %u tries left\n", (unsigned)triesLeft);
        failed = 1;
    } else if (rc != QAV_OK) {
        failed = Fail("QAV_VerifyPIN", rc);
    }

    if (!failed && container == NULL) {
        /* The names array belongs to the library, valid until the device closes. */
        char** names = NULL;
        uint32_t names_count = 0;
        rc = QAV_GetContainerList(device, &names, &names_count, 0);
        if (rc != QAV_OK) {
            failed = Fail("QAV_GetContainerList", rc);
        } else if (names_count == 0) {
            fprintf(stderr, "the key holds no container\n");
            failed = 1;
        } else {
            container = names[0];
        }
    }
    if (!failed) failed = ShowCertificate(device, container) || Sign(device, container);

    rc = QAV_CloseDevice(device, 0);
    if (rc != QAV_OK && !failed) failed = Fail("QAV_CloseDevice", rc);
    return failed;
}

int main(int argc, char** argv) {
    const char* pin = getenv("QAVSEAL_PIN");
    if (pin == NULL) {
        fprintf(stderr, "set QAVSEAL_PIN to the key's user PIN\n");
        return 2;
    }
    uint32_t rc = QAV_Initialize(0);
    if (rc != QAV_OK) return Fail("QAV_Initialize", rc);
    const int failed = Session(pin, argc > 1 ? argv[1] : NULL);
    rc = QAV_Finalize(0);
    if (rc != QAV_OK) return Fail("QAV_Finalize", rc);
    if (!failed) printf("session closed\n");
    return failed;
}
