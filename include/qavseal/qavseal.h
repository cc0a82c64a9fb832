/*
 * QAVSeal: smart-card middleware for electronic-seal keys.
 *
 * One flat C interface, the QAV_* functions. An application in the same
 * process lists the seal keys that the PC/SC smart-card service sees, opens
 * them and runs card operations through them.
 *
 * Conventions shared by every function
 * ------------------------------------
 * - Every function returns a uint32_t result code: QAV_OK (0) on success, a
 *   QAV_E_* library code, QAV_CARD_STATUS(sw) for a card status word the
 *   operation does not handle itself, a bare 16-bit status word from a
 *   failed GET RESPONSE, or a PC/SC error code (0x801000xx) passed through
 *   unchanged from the smart-card service.
 * - Checks run in a fixed order and return at the first that fails, before
 *   anything is sent to a card:
 *     1. library not initialised           QAV_E_NOT_INITIALIZED
 *     2. unknown or closed device handle   QAV_E_INVALID_HANDLE
 *     3. null pointer / zero length        QAV_E_NULL_POINTER / QAV_E_BAD_LENGTH
 *     4. selector out of range             QAV_E_BAD_SELECTOR / QAV_E_BAD_ALGORITHM
 *   Nothing is changed before the check that fails.
 * - Caller buffers come with an in/out length: a null buffer asks for the
 *   size (QAV_OK, size written); a buffer that is too small gives
 *   QAV_E_BUFFER_TOO_SMALL with the needed size written and nothing copied.
 * - Trailing "reserved" arguments are not read; pass 0.
 * - No C++ exception ever leaves a QAV_* function. Running out of memory is
 *   reported as QAV_E_NO_MEMORY (the PC/SC code SCARD_E_NO_MEMORY), any other
 *   internal failure as QAV_E_INTERNAL (SCARD_F_INTERNAL_ERROR).
 *
 * Threads
 * -------
 * Every QAV_* function runs under one process-wide lock, so the device
 * manager, the device factory and the PC/SC master reader are never used by
 * two threads at once. A call that waits on the card (a long transmit) holds
 * the lock for that time. QAV_Lock/QAV_Unlock are the PC/SC transaction on
 * the card and keep other processes and connections out, not other threads
 * of this process that use the same handle.
 *
 * Calling conventions
 * -------------------
 * On 32-bit Windows every export uses __stdcall with an undecorated name,
 * except QAV_DetectDeviceChange and QAV_CancelDetectDeviceChange (__cdecl).
 * Callbacks use __stdcall. Elsewhere both macros expand to nothing.
 */
#ifndef QAVSEAL_QAVSEAL_H
#define QAVSEAL_QAVSEAL_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QAV_API __stdcall
#define QAV_CDECL __cdecl
#define QAV_CALLBACK __stdcall
#if defined(QAV_BUILDING_LIBRARY)
#define QAV_EXPORT
#else
#define QAV_EXPORT __declspec(dllimport)
#endif
#else
#define QAV_API
#define QAV_CDECL
#define QAV_CALLBACK
#if defined(QAV_BUILDING_LIBRARY)
#define QAV_EXPORT __attribute__((visibility("default")))
#else
#define QAV_EXPORT
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A device handle: the address of the library's device object, as wide as a
 * pointer (exactly 32 bits on the 32-bit Windows target). */
typedef uintptr_t QAV_HANDLE;

/* ---- Result codes ------------------------------------------------------ */
/* clang-format off */

#define QAV_OK                      0x00000000u
/* QAV_GetState kind 3 and reserved card operations. */
#define QAV_E_NOT_SUPPORTED         0xE0170002u
/* Opening a device: the card object could not be created. */
#define QAV_E_CARD_OBJECT           0xE0170003u
/* Opening a device: the reader object could not be created. */
#define QAV_E_READER_OBJECT         0xE0170004u
/* A required pointer is null (also a key or PIN reference of 256 or more,
 * or a flag above 1, for a few card operations). */
#define QAV_E_NULL_POINTER          0xE0170005u
/* A length is zero or does not fit the operation. */
#define QAV_E_BAD_LENGTH            0xE0170006u
/* The algorithm identifier or the container's key type is not accepted. */
#define QAV_E_BAD_ALGORITHM         0xE0170007u
/* Unsupported padding kind, or padding / unpadding failed. */
#define QAV_E_PADDING               0xE0170008u
/* Chained cipher mode with an IV length other than the block length. */
#define QAV_E_IV_LENGTH             0xE0170009u
/* Unknown session-key handle, key number above 255, or wrong key kind. */
#define QAV_E_BAD_KEY               0xE017000Au
/* Cipher-mode or chaining option outside the accepted values. */
#define QAV_E_BAD_CIPHER_MODE       0xE017000Bu
/* A file or key identifier does not fit its field. */
#define QAV_E_ID_TOO_LARGE          0xE017000Du
/* A required object is absent (file of a container, payment application,
 * card-number element, empty session-key answer). */
#define QAV_E_NOT_FOUND             0xE0170010u
/* No container of the given name exists on the card. */
#define QAV_E_NO_CONTAINER          0xE0170013u
/* The library is not initialised, or the device factory is not started. */
#define QAV_E_NOT_INITIALIZED       0xE0170015u
/* The device handle is not one returned by QAV_OpenDevice, or was closed. */
#define QAV_E_INVALID_HANDLE        0xE0170017u
/* No device: empty device list, no card, empty ATR or failed probe. */
#define QAV_E_NO_DEVICE             0xE0170019u
/* PIN length outside 4..16 digits, or a PIN operation answered 8026. */
#define QAV_E_PIN_LENGTH            0xE017001Du
/* A file offset above 0xFFFF in a binary read or write. */
#define QAV_E_OFFSET_TOO_LARGE      0xE017001Eu
/* A card key index out of range. */
#define QAV_E_KEY_INDEX             0xE017001Fu
/* A PIN operation answered with status 8005 or 6D00. */
#define QAV_E_PIN_NOT_ACCEPTED      0xE0170020u
/* A host conversion or a caller callback failed. */
#define QAV_E_CONVERSION            0xE0170028u
/* Unexpected data: a card answer or stored record of the wrong form, or data
 * read back that differs from what was written. */
#define QAV_E_UNEXPECTED_DATA       0xE0170032u
/* The caller's buffer is too small; the needed length has been written. */
#define QAV_E_BUFFER_TOO_SMALL      0xE017003Bu
/* A mode, kind or type selector is outside its allowed values. */
#define QAV_E_BAD_SELECTOR          0xE017003Cu
/* A TLV list already holds its 256 elements. */
#define QAV_E_TLV_FULL              0xE0170041u
/* The device-change thread could not be started. */
#define QAV_E_THREAD                0xE0170042u
/* The PIN is blocked; the remaining-tries output is 0. */
#define QAV_E_PIN_BLOCKED           0xE0170043u
/* Wrong PIN; the remaining-tries output holds the tries left. */
#define QAV_E_PIN_WRONG             0xE0170044u
/* QAV_ChangePIN: the new PIN equals the old PIN. */
#define QAV_E_PIN_UNCHANGED         0xE0170045u
/* A PIN operation answered with status 8025. */
#define QAV_E_PIN_REFUSED           0xE0170046u

/* Card status words the operation does not handle: 0xE0180000 | sw. */
#define QAV_CARD_STATUS_BASE        0xE0180000u
#define QAV_CARD_STATUS(sw)         (QAV_CARD_STATUS_BASE | ((sw) & 0xFFFFu))
#define QAV_IS_CARD_STATUS(rc)      (((rc) & 0xFFFF0000u) == QAV_CARD_STATUS_BASE)

/* Internal failures, reported with the smart-card service's own codes. */
#define QAV_E_INTERNAL              0x80100001u /* SCARD_F_INTERNAL_ERROR */
#define QAV_E_NO_MEMORY             0x80100006u /* SCARD_E_NO_MEMORY */
/* clang-format on */

/* ---- Callbacks (application-supplied secure messaging and reports) ---- */

/* Encrypts plaintext for a secured command after a fresh card challenge.
 * out has room for *outLength bytes on entry; set *outLength to the
 * cryptogram length. Secured file writes read the result as a result code
 * (0 = success); the PIN reload reads it as a truth value (non-zero =
 * success). */
typedef uint32_t(QAV_CALLBACK* QAV_EncryptCallback)(
    const uint8_t* challenge, uint32_t challengeLength, const uint8_t* plaintext,
    uint32_t plaintextLength, uint8_t* out, uint32_t* outLength, uintptr_t user1, uintptr_t user2);

/* Computes the 4-byte MAC of an encoded command after a fresh challenge and
 * writes exactly 4 bytes to mac. Return 0 on success. */
typedef uint32_t(QAV_CALLBACK* QAV_MacCallback)(const uint8_t* challenge, uint32_t challengeLength,
                                                const uint8_t* command, uint32_t commandLength,
                                                uint8_t* mac, uintptr_t user1, uintptr_t user2);

/* Computes the cryptogram of an external authentication from the card's
 * challenge. Return 0 on success. */
typedef uint32_t(QAV_CALLBACK* QAV_CryptogramCallback)(const uint8_t* challenge,
                                                       uint32_t challengeLength, uint8_t* out,
                                                       uint32_t* outLength, uintptr_t user1,
                                                       uintptr_t user2);

/* Reports progress of a long file transfer, percent 0..100. */
typedef uint32_t(QAV_CALLBACK* QAV_ProgressCallback)(uint32_t percent, uintptr_t userValue,
                                                     uint32_t reserved);

/* Tells the application that a device arrived (arrived = 1) or left (0).
 * deviceName is valid only during the call. The result is ignored. */
typedef uint32_t(QAV_CALLBACK* QAV_DeviceChangeCallback)(const char* deviceName, uint32_t arrived,
                                                         uintptr_t userValue, uint32_t reserved);

/* ---- Lifecycle --------------------------------------------------------- */

/* Starts the library, or counts one more user when it is started.
 *
 * The first call creates the device manager and establishes the PC/SC
 * context; later calls only add 1 to the usage count.
 *
 * reserved  [in]  not read; pass 0.
 *
 * Returns QAV_OK, or the smart-card service's error when it gives no context
 * (the count then stays 0 and the next call tries again), or QAV_E_NO_MEMORY.
 */
QAV_EXPORT uint32_t QAV_API QAV_Initialize(uint32_t reserved);

/* Takes back one QAV_Initialize. The call that brings the count to 0
 * disconnects and closes devices still open (their handles stop being
 * valid), releases the PC/SC context and frees every list the library
 * handed out.
 *
 * reserved  [in]  not read; pass 0.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED when the count is already 0; the
 * service's error when releasing the context fails (the library then stays
 * started).
 */
QAV_EXPORT uint32_t QAV_API QAV_Finalize(uint32_t reserved);

/* ---- Devices ----------------------------------------------------------- */

/* Lists the readers that hold a usable seal key.
 *
 * A card is usable when its ATR is in the per-user card database, or when it
 * answers the probe SELECT (then it is registered there). Cards that failed
 * the probe are remembered and not probed again until the library restarts.
 *
 * names    [out] receives a library-owned array of NUL-terminated reader
 *                names, valid until the next QAV_GetDeviceList or the last
 *                QAV_Finalize; do not free it.
 * count    [out] receives the number of names.
 * showAll  [in]  0: only names that begin with "ADM" or "DZYZ";
 *                otherwise every usable reader.
 *
 * Returns QAV_OK with count > 0; QAV_E_NO_DEVICE with count 0 when no reader
 * qualifies; QAV_E_NOT_INITIALIZED; QAV_E_NULL_POINTER; QAV_E_BUFFER_TOO_SMALL
 * when a reader appeared during the listing (call again); a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_GetDeviceList(char*** names, uint32_t* count, uint32_t showAll);

/* Opens the seal key in a reader named by QAV_GetDeviceList.
 *
 * name     [in]  the reader name.
 * handle   [out] the device handle, valid until QAV_CloseDevice or the last
 *                QAV_Finalize. Opening one reader twice gives two handles.
 *                While another process holds the key with QAV_Lock, pcsc-lite
 *                makes the opening wait until that transaction ends.
 * reserved [in]  not read; pass 0.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_NULL_POINTER; QAV_E_NO_DEVICE
 * (no card, empty ATR, failed probe); QAV_E_CARD_OBJECT, QAV_E_READER_OBJECT
 * or QAV_E_NO_MEMORY when the device objects cannot be made; a PC/SC error
 * such as 0x80100009 (unknown reader).
 */
QAV_EXPORT uint32_t QAV_API QAV_OpenDevice(const char* name, QAV_HANDLE* handle, uint32_t reserved);

/* Disconnects and closes a device; the handle is invalid afterwards, and so
 * are the container lists and session-key handles given out for it.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE; a PC/SC error
 * when the disconnect fails (the device then stays open; a lost smart-card
 * service counts as disconnected).
 */
QAV_EXPORT uint32_t QAV_API QAV_CloseDevice(QAV_HANDLE handle, uint32_t reserved);

/* Begins / ends the PC/SC transaction on the device's card: other processes
 * and connections are kept out until QAV_Unlock (the smart-card service
 * holds their connections and commands until then). Other threads of this
 * process that use the same handle are not.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE; a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_Lock(QAV_HANDLE handle, uint32_t reserved);
QAV_EXPORT uint32_t QAV_API QAV_Unlock(QAV_HANDLE handle, uint32_t reserved);

/* Sends one raw command APDU.
 *
 * command        [in]     the command bytes (commandLength > 0).
 * response       [out]    answer data, without the status word; may be null
 *                         for a command that answers no data (an answer
 *                         with data then fails with the service's
 *                         0x80100008, insufficient buffer).
 * responseLength [in/out] capacity of response / length of the data.
 * statusWord     [out]    the card's status word. It is not turned into a
 *                         result: 6A82 gives QAV_OK with *statusWord 0x6A82.
 *                         A 61xx answer is fetched with GET RESPONSE into the
 *                         same buffer at its full capacity.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE;
 * QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH (checked before responseLength and
 * statusWord); QAV_E_BUFFER_TOO_SMALL; QAV_E_UNEXPECTED_DATA (an answer
 * without a status word); the bare status word of a failed GET RESPONSE; a
 * PC/SC error such as 0x80100069 (card removed). A card that was reset or
 * pulled and put back, and a restarted smart-card service, are reconnected
 * within the bounded retries, and the command goes through.
 */
QAV_EXPORT uint32_t QAV_API QAV_Transmit(QAV_HANDLE handle, const uint8_t* command,
                                         uint32_t commandLength, uint8_t* response,
                                         uint32_t* responseLength, uint32_t* statusWord,
                                         uint32_t reserved);

/* Sends the card's reset command (00 4A 00 00 00), which clears its
 * security state. The connection itself is not reset.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE;
 * QAV_CARD_STATUS(sw); a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_Reset(QAV_HANDLE handle, uint32_t reserved);

/* Answers a state question about the key.
 *
 * kind  [in]  1: the PIN has been changed since personalisation (byte 999 of
 *             file 1011 is 01); 2: file A0F3 holds data; 3: not supported;
 *             4: which payment application the card carries (1..4).
 * state [out] 0 or 1 for kinds 1 and 2, 1..4 for kind 4.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE;
 * QAV_E_NULL_POINTER; QAV_E_BAD_SELECTOR (kind outside 1..4);
 * QAV_E_NOT_SUPPORTED (kind 3); QAV_E_NOT_FOUND (kind 4, no payment
 * application); QAV_CARD_STATUS(sw); a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_GetState(QAV_HANDLE handle, uint32_t kind, uint32_t* state,
                                         uint32_t reserved);

/* Selects the seal application anew, which drops a verified PIN and any
 * authentication the card had reached.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE;
 * QAV_CARD_STATUS(sw); a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_ClearSecureState(QAV_HANDLE handle, uint32_t reserved);

/* ---- Abilities --------------------------------------------------------- */

/* Reads the seal device's ability flags from the application's control
 * information (ability 0: 0/0, 1: 0/1, 2: 1/1).
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE;
 * QAV_E_NULL_POINTER; QAV_E_UNEXPECTED_DATA (an answer of another form, or
 * an unknown ability; the flags are then not written); QAV_CARD_STATUS(sw);
 * a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_GetSealDeviceAbility(QAV_HANDLE handle, uint32_t* flag1,
                                                     uint32_t* flag2, uint32_t reserved);

/* Reads the 64 bytes of ability information (file 4000). The 16-bit fields
 * at offsets 0, 2, 4, 17, 19, 21 and 24 are handed over low byte first.
 *
 * info [out] at least 64 bytes.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE;
 * QAV_E_NULL_POINTER; QAV_CARD_STATUS(sw); a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_GetAbilityInfo(QAV_HANDLE handle, uint8_t* info, uint32_t reserved);

#ifdef __cplusplus
}
#endif

#endif /* QAVSEAL_QAVSEAL_H */
