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
 *   failed GET RESPONSE, QAV_E_UNEXPECTED_DATA for a card answer too short
 *   to hold a status word, or a PC/SC error code (0x801000xx) passed
 *   through unchanged from the smart-card service.
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
 *   The one exception is QAV_Transmit, which sends its command first (see
 *   there).
 * - Trailing "reserved" arguments are not read; pass 0.
 * - No C++ exception ever leaves a QAV_* function. Running out of memory is
 *   reported as QAV_E_NO_MEMORY (the PC/SC code SCARD_E_NO_MEMORY), any other
 *   internal failure as QAV_E_INTERNAL (SCARD_F_INTERNAL_ERROR).
 *
 * Threads
 * -------
 * Any QAV_* function may be called from any thread. The library's shared
 * tables (devices, key handles, lists, watches) are guarded by short locks
 * that are never held while the smart-card service is waited on, during a
 * retry pause, or while an application callback runs. A device handle has
 * an owner: the thread running a call on it holds it until the call ends,
 * its callbacks (encryption, MAC, cryptogram, progress) included, so no
 * other command on that handle comes between a challenge and the secured
 * command, or between the pieces of a transfer. The callbacks run on the
 * calling thread and may call the library, also on the same handle (those
 * calls run inside the outer one; a QAV_CloseDevice there disconnects once
 * the outer call has ended). Other threads' calls on that handle wait, so a
 * callback must not wait for one of them; calls on other handles never
 * wait. Device-change callbacks run on the watch's own thread with no lock
 * held; they must not call QAV_Finalize or cancel with an odd scope
 * expecting the watch to be joined (their own watch is then only told to
 * stop). A device closed by one thread answers QAV_E_INVALID_HANDLE to calls
 * other threads make afterwards. QAV_Finalize must not race the other calls:
 * the last one stops every watch, then closes what is still open.
 *
 * Other applications on the same key
 * ----------------------------------
 * Every call that sends commands to the card runs them inside a PC/SC
 * transaction of its own (unless the handle holds one through QAV_Lock),
 * so another process's or connection's commands never land in the middle
 * of one call: they wait until it ends. The transaction spans the call's
 * callbacks: keep them quick, since other applications wait on the card
 * meanwhile (and Windows resets a card whose transaction has been idle for
 * five seconds). Between two calls other applications may use the card:
 * their commands can select other files and drop a verified PIN. Hold the
 * card across several calls with QAV_Lock/QAV_Unlock. A reset card or a
 * lost connection met before a call's first command is reconnected and the
 * call goes on; met after it, the call ends with the service's code (such
 * as 0x80100068, card reset), since what the call had set up on the card is
 * gone.
 *
 * What the card keeps
 * -------------------
 * The library leaves the card as it is when a device is closed: a verified
 * PIN stays verified after QAV_CloseDevice, for the next QAV_OpenDevice and
 * for other processes, until the card is reset or pulled.
 * QAV_ClearSecureState ends a verified state. QAV_GetCardNumber (and
 * QAV_GetState kind 4) leave the payment application selected: the next
 * call on the seal application selects it anew, which drops a verified
 * PIN.
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
 * After fork: the library state belongs to the process that started it. In
 * a child every function but this one answers as if the library were not
 * started (QAV_Finalize: QAV_E_NOT_INITIALIZED), and this one starts afresh
 * with a context, devices and watches of the child's own and a count of 1.
 * The inherited state is abandoned untouched: no service call is made on
 * the parent's context or card connections and no thread of the parent's is
 * waited for, so nothing the child does disturbs the parent. Handles from
 * the parent are not valid in the child. Fork while no other thread is
 * inside the library.
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
 * only when cards kept arriving through three listings in a row (call
 * again); a PC/SC error.
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
 * are the container lists and session-key handles given out for it. The
 * card is left as it is: a verified PIN stays verified.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE; a PC/SC error
 * when the disconnect fails (a lost smart-card service counts as
 * disconnected). The handle is released in every case but the first two.
 */
QAV_EXPORT uint32_t QAV_API QAV_CloseDevice(QAV_HANDLE handle, uint32_t reserved);

/* Begins / ends the PC/SC transaction on the device's card: other processes
 * and connections are kept out until QAV_Unlock (the smart-card service
 * holds their connections and commands until then), so the card's state (the
 * selected file, a verified PIN) lasts from one call to the next. Calls on
 * the handle meanwhile run inside it instead of beginning their own. Other
 * threads of this process that use the same handle are not kept out. Pairs
 * nest: the card is let go at the last QAV_Unlock.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE; a PC/SC error.
 */
QAV_EXPORT uint32_t QAV_API QAV_Lock(QAV_HANDLE handle, uint32_t reserved);
QAV_EXPORT uint32_t QAV_API QAV_Unlock(QAV_HANDLE handle, uint32_t reserved);

/* The longest card answer the library gathers: an answer longer than one
 * exchange comes in pieces, each announced by a 61xx status word and fetched
 * with GET RESPONSE, and the whole is kept up to this many bytes (in at most
 * 256 fetches). A card that announces more gets QAV_E_UNEXPECTED_DATA. */
#define QAV_MAX_ANSWER_LENGTH 65536u

/* Sends one raw command APDU.
 *
 * command        [in]     the command bytes, at least the four header bytes
 *                         CLA INS P1 P2 (commandLength >= 4).
 * response       [out]    answer data, without the status word; may be null
 *                         for a command that answers no data.
 * responseLength [in/out] capacity of response / length of the data.
 * statusWord     [out]    the card's status word. It is not turned into a
 *                         result: 6A82 gives QAV_OK with *statusWord 0x6A82.
 *                         An answer announced with 61xx is fetched whole with
 *                         GET RESPONSE (up to QAV_MAX_ANSWER_LENGTH bytes);
 *                         *statusWord is then the last piece's.
 *
 * The one exception to the buffer rule: the command is sent whatever the
 * buffer, so there is no size query. When the whole answer does not fit
 * (response null included), nothing is copied, the needed length is written
 * to *responseLength and the result is QAV_E_BUFFER_TOO_SMALL: the command
 * has run on the card and its answer is lost. Pass a buffer of
 * QAV_MAX_ANSWER_LENGTH bytes when the answer's length is not known.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_INVALID_HANDLE;
 * QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH (fewer than 4 command bytes, checked
 * before responseLength and statusWord; nothing is sent);
 * QAV_E_BUFFER_TOO_SMALL (see above); QAV_E_UNEXPECTED_DATA (an answer
 * without a status word, or longer than QAV_MAX_ANSWER_LENGTH); the bare
 * status word of a failed GET RESPONSE; a PC/SC error such as 0x80100069
 * (card removed). A card that was reset or pulled and put back, and a
 * restarted smart-card service, are reconnected within the bounded retries,
 * and the command goes through; a GET RESPONSE that meets them ends the
 * call with the service's code.
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
 * authentication the card had reached: the way to end a verified state
 * (closing the device does not).
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

/* ---- Card operations ---------------------------------------------------
 *
 * Every function below first checks that the library is initialised
 * (QAV_E_NOT_INITIALIZED) and that the handle is an open device
 * (QAV_E_INVALID_HANDLE), then its own arguments in the order listed, and
 * sends nothing when a check fails. Most then make sure the seal
 * application is the card's current one, which may send a SELECT; its
 * failure is returned unchanged. Every function may also return:
 *   QAV_CARD_STATUS(sw)  a status word the operation does not handle itself
 *                        (for example QAV_CARD_STATUS(0x6982) when the PIN
 *                        has not been verified);
 *   a PC/SC error        from the smart-card service, such as 0x80100069
 *                        (card removed);
 *   QAV_E_NO_MEMORY, QAV_E_INTERNAL;
 *   QAV_E_NOT_SUPPORTED  when the card operation is not available.
 * Those four are not repeated below.
 */

/* Verifies the user PIN.
 *
 * pin        [in]  the PIN as text, 4..16 digits; not read and may be null
 *                  when flags is not 0.
 * triesLeft  [out] required; written only when the card tells the tries
 *                  left (a wrong or blocked PIN, or the PIN-pad query).
 * flags      [in]  0: verify pin; otherwise the PIN is entered on the
 *                  reader's PIN pad and nothing is sent with the command.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER (pin null with flags 0, a character
 * that is not a digit, triesLeft null); QAV_E_PIN_LENGTH; QAV_E_PIN_WRONG
 * (*triesLeft set); QAV_E_PIN_BLOCKED (*triesLeft 0);
 * QAV_E_PIN_NOT_ACCEPTED; QAV_E_PIN_REFUSED.
 */
QAV_EXPORT uint32_t QAV_API QAV_VerifyPIN(QAV_HANDLE handle, const char* pin, uint32_t* triesLeft,
                                          uint32_t flags);

/* Changes the user PIN, verifies the new one at once and marks the change
 * on the card (QAV_GetState kind 1 answers 1 afterwards).
 *
 * oldPin         [in]  the PIN as text, 4..16 characters (hexadecimal
 *                      digits pass); not read when flags is not 0.
 * newPin         [in]  the new PIN, 4..16 digits: a PIN QAV_VerifyPIN would
 *                      refuse is refused here too, with the code
 *                      QAV_VerifyPIN gives it; not read when flags is not 0.
 * triesLeft      [out] required; the tries left after a wrong old PIN.
 * flags          [in]  0: the PINs given; otherwise the PIN pad.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER (a PIN null, or a new PIN holding a
 * character that is not a digit: nothing sent); QAV_E_PIN_UNCHANGED (the
 * same PIN twice, compared whole, nothing sent; two PINs longer than 16
 * characters are QAV_E_PIN_LENGTH whatever they hold); QAV_E_PIN_LENGTH;
 * QAV_E_CONVERSION (an old PIN with a character that is not a hexadecimal
 * digit); QAV_E_PIN_WRONG; QAV_E_PIN_BLOCKED;
 * QAV_E_PIN_NOT_ACCEPTED; QAV_E_PIN_REFUSED. A failure after the change
 * itself (verifying the new PIN, writing the mark) leaves the PIN changed.
 */
QAV_EXPORT uint32_t QAV_API QAV_ChangePIN(QAV_HANDLE handle, const char* oldPin, const char* newPin,
                                          uint32_t* triesLeft, uint32_t flags);

/* Unblocks the PIN with a new one. The command carries a MAC over a fresh
 * card challenge; with encrypt the PIN block also travels encrypted.
 *
 * challengeLength [in]  4, 8 or 16.
 * encrypt         [in]  may be null (the PIN block goes in plain); its
 *                       result is read as a truth value (non-zero = done).
 * mac             [in]  computes the command's MAC.
 * newPin          [in]  the new PIN as text, 4..16 digits: only a PIN that
 *                       QAV_VerifyPIN accepts is loaded.
 * triesLeft       [out] required.
 * user1, user2    [in]  handed to the callbacks.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER (newPin null or holding a character
 * that is not a digit, checked first and before anything is sent; mac or
 * triesLeft null); QAV_E_BAD_LENGTH (challenge length); QAV_E_PIN_LENGTH;
 * QAV_E_CONVERSION (encrypt failed); the MAC callback's own non-zero
 * result; QAV_E_PIN_WRONG; QAV_E_PIN_BLOCKED; QAV_E_PIN_NOT_ACCEPTED;
 * QAV_E_PIN_REFUSED.
 */
QAV_EXPORT uint32_t QAV_API QAV_ReloadPIN(QAV_HANDLE handle, uint32_t challengeLength,
                                          QAV_EncryptCallback encrypt, QAV_MacCallback mac,
                                          const char* newPin, uint32_t* triesLeft, uintptr_t user1,
                                          uintptr_t user2);

/* The most bytes one QAV_GenRandom gives (4096 card challenges). */
#define QAV_RANDOM_MAX_LENGTH 65536u

/* Random bytes from the card, 16 per card challenge.
 *
 * out    [out] length bytes.
 * length [in]  1 to QAV_RANDOM_MAX_LENGTH (17 bytes cost two challenges).
 * skip   [in]  1: the seal application is taken to be current (no SELECT).
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH (0 or above
 * QAV_RANDOM_MAX_LENGTH, before anything is sent).
 */
QAV_EXPORT uint32_t QAV_API QAV_GenRandom(QAV_HANDLE handle, uint8_t* out, uint32_t length,
                                          uint32_t skip);

/* Reads a card file in pieces.
 *
 * fid      [in]  the file identifier (at most 0xFFFF).
 * offset   [in]  where to start (at most 0xFFFF).
 * out      [out] length bytes; null only asks whether the card can read
 *                at offset.
 * length   [in]  how many bytes to read; exactly this many come back.
 * progress [in]  may be null; told 0, then the share done after each piece.
 * user1    [in]  handed to progress.
 * child    [in]  non-zero: the file is selected as a child of the current
 *                one; 1 also leaves the application selection out.
 *
 * Returns QAV_OK; QAV_E_ID_TOO_LARGE; QAV_E_OFFSET_TOO_LARGE;
 * QAV_E_BAD_LENGTH (the read runs past position 0xFFFF);
 * QAV_E_UNEXPECTED_DATA (the file ends before the length).
 */
QAV_EXPORT uint32_t QAV_API QAV_ReadFile(QAV_HANDLE handle, uint32_t fid, uint32_t offset,
                                         uint8_t* out, uint32_t length,
                                         QAV_ProgressCallback progress, uintptr_t user1,
                                         uint32_t child);

/* Writes a card file in pieces; with mac, each piece is secured (CLA 04,
 * a fresh challenge, the piece encrypted through encrypt and a MAC).
 *
 * fid, offset     [in] as for QAV_ReadFile.
 * data            [in] dataLength bytes.
 * challengeLength [in] 4, 8 or 16 when secured; not read otherwise.
 * encrypt, mac    [in] both null: plain writes; mac set needs encrypt.
 * progress        [in] may be null; told 0, then after each piece up to 100.
 * user1, user2    [in] handed to the callbacks (progress gets user1).
 *
 * Returns QAV_OK; QAV_E_ID_TOO_LARGE; QAV_E_OFFSET_TOO_LARGE;
 * QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH; the callbacks' errors. A failing
 * piece ends the write; earlier pieces stay written.
 */
QAV_EXPORT uint32_t QAV_API QAV_WriteFile(QAV_HANDLE handle, uint32_t fid, uint32_t offset,
                                          const uint8_t* data, uint32_t dataLength,
                                          uint32_t challengeLength, QAV_EncryptCallback encrypt,
                                          QAV_MacCallback mac, QAV_ProgressCallback progress,
                                          uintptr_t user1, uintptr_t user2);

/* Hashes data on the card.
 *
 * mode       [in]  0: the data; 1: the SM2 key of file 3000 alone (its Z
 *                  value); 2: the data with the key's Z value before it.
 * algorithm  [in]  1 SM3, 2 SHA-1, 3 SHA-256.
 * data       [in]  dataLength bytes (modes 0 and 2), sent in pieces.
 * out        [out] the digest; null asks for the size.
 * outLength  [in,out] capacity / length.
 * keyFile    [in]  not read: file 3000 is always named.
 *
 * Returns QAV_OK; QAV_E_BAD_SELECTOR (mode); QAV_E_BAD_ALGORITHM;
 * QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH; QAV_E_BUFFER_TOO_SMALL.
 */
QAV_EXPORT uint32_t QAV_API QAV_Hash(QAV_HANDLE handle, uint32_t mode, uint32_t algorithm,
                                     const uint8_t* data, uint32_t dataLength, uint8_t* out,
                                     uint32_t* outLength, uint32_t keyFile);

/* Internal authentication: the card encrypts 16 bytes with its key.
 *
 * keyReference [in]     the card key.
 * data         [in]     dataLength bytes, exactly 16.
 * out          [out]    the 16-byte answer; null asks for the size.
 * outLength    [in,out] capacity / length.
 * skip         [in]     1: no application selection.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH;
 * QAV_E_ID_TOO_LARGE (a key reference above 255, which P2 cannot carry);
 * QAV_E_BUFFER_TOO_SMALL; QAV_E_UNEXPECTED_DATA (an answer of another
 * length).
 */
QAV_EXPORT uint32_t QAV_API QAV_InternalAuth(QAV_HANDLE handle, uint32_t keyReference,
                                             const uint8_t* data, uint32_t dataLength, uint8_t* out,
                                             uint32_t* outLength, uint32_t skip);

/* External authentication: a card challenge of challengeLength bytes,
 * encrypted by the application's cryptogram callback, proves the caller
 * to the card.
 *
 * keyReference    [in]  the card key (at most 255).
 * challengeLength [in]  4, 8 or 16.
 * cryptogram      [in]  computes the cryptogram (up to 255 bytes).
 * triesLeft       [out] required; the tries left after a failure.
 * user1, user2    [in]  handed to cryptogram.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER (also a key reference above 255);
 * QAV_E_BAD_LENGTH; the callback's own non-zero result; QAV_E_PIN_WRONG
 * (*triesLeft set); QAV_E_PIN_BLOCKED (*triesLeft 0).
 */
QAV_EXPORT uint32_t QAV_API QAV_ExternalAuth(QAV_HANDLE handle, uint32_t keyReference,
                                             uint32_t challengeLength,
                                             QAV_CryptogramCallback cryptogram, uint32_t* triesLeft,
                                             uintptr_t user1, uintptr_t user2);

/* Hands a key to the card under keyType/keyReference (after an external
 * authentication). No application selection.
 *
 * keyType      [in] at most 255.
 * keyReference [in] at most 255.
 * key          [in] keyLength bytes (8, 16, ... 56); null sends nothing
 *                   and answers QAV_OK.
 *
 * Returns QAV_OK; QAV_E_BAD_KEY (key type); QAV_E_ID_TOO_LARGE (key
 * reference); QAV_E_BAD_LENGTH.
 */
QAV_EXPORT uint32_t QAV_API QAV_DeliveryKey(QAV_HANDLE handle, uint32_t keyType,
                                            uint32_t keyReference, const uint8_t* key,
                                            uint32_t keyLength, uint32_t reserved);

/* Asks the card for a token (16 random bytes it remembers for
 * keyType/keyReference). No application selection.
 *
 * keyType      [in]     its low five bits 6, 7, 8 or 24..27.
 * keyReference [in]     at most 255.
 * out          [out]    the token; null asks for the size (16).
 * outLength    [in,out] capacity / length.
 *
 * Returns QAV_OK; QAV_E_BAD_KEY; QAV_E_ID_TOO_LARGE; QAV_E_NULL_POINTER;
 * QAV_E_BUFFER_TOO_SMALL; QAV_E_UNEXPECTED_DATA.
 */
QAV_EXPORT uint32_t QAV_API QAV_GenerateToken1(QAV_HANDLE handle, uint32_t keyType,
                                               uint32_t keyReference, uint8_t* out,
                                               uint32_t* outLength, uint32_t reserved);

/* Makes the card derive a session key from the token of the same
 * keyType/keyReference and data. No application selection.
 *
 * keyType, keyReference [in] as for QAV_GenerateToken1.
 * data                  [in] 32 bytes, or null.
 *
 * Returns QAV_OK; QAV_E_BAD_KEY; QAV_E_ID_TOO_LARGE; QAV_E_BAD_LENGTH;
 * QAV_E_NOT_FOUND (the card made no key).
 */
QAV_EXPORT uint32_t QAV_API QAV_GenerateSK(QAV_HANDLE handle, uint32_t keyType,
                                           uint32_t keyReference, const uint8_t* data,
                                           uint32_t dataLength, uint32_t reserved);

/* Exports application authentication key keyIndex (0..14), encrypted by
 * the card. No application selection.
 *
 * out       [out]    the encrypted key; null asks for the size (16).
 * outLength [in,out] capacity / length.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_KEY_INDEX;
 * QAV_E_BUFFER_TOO_SMALL.
 */
QAV_EXPORT uint32_t QAV_API QAV_ExportAppAuthKey(QAV_HANDLE handle, uint32_t keyIndex, uint8_t* out,
                                                 uint32_t* outLength, uint32_t reserved);

/* SM4 on the card with the card's cipher key or a key sent along:
 * encryption, decryption, and a 4-byte MAC. No application selection.
 *
 * iv        [in]     ivLength bytes; null for none (not chained).
 * key       [in]     keyLength bytes (16), read when keyMode is 1.
 * keyMode   [in]     0: the card's cipher key; 1: key. The MAC needs 1.
 * data      [in]     dataLength bytes, a multiple of 16, sent in pieces.
 * out       [out]    the result (dataLength bytes, or 4 for the MAC);
 *                    null asks for the size.
 * outLength [in,out] capacity / length.
 *
 * Returns QAV_OK; QAV_E_BAD_CIPHER_MODE (keyMode); QAV_E_NULL_POINTER;
 * QAV_E_BAD_LENGTH (key length, data length, an iv of length 0);
 * QAV_E_BUFFER_TOO_SMALL.
 */
QAV_EXPORT uint32_t QAV_API QAV_CipherDataEncrypt(QAV_HANDLE handle, const uint8_t* iv,
                                                  uint32_t ivLength, const uint8_t* key,
                                                  uint32_t keyLength, uint32_t keyMode,
                                                  const uint8_t* data, uint32_t dataLength,
                                                  uint8_t* out, uint32_t* outLength,
                                                  uint32_t reserved);
QAV_EXPORT uint32_t QAV_API QAV_CipherDataDecrypt(QAV_HANDLE handle, const uint8_t* iv,
                                                  uint32_t ivLength, const uint8_t* key,
                                                  uint32_t keyLength, uint32_t keyMode,
                                                  const uint8_t* data, uint32_t dataLength,
                                                  uint8_t* out, uint32_t* outLength,
                                                  uint32_t reserved);
QAV_EXPORT uint32_t QAV_API QAV_CipherDataMac(QAV_HANDLE handle, const uint8_t* iv,
                                              uint32_t ivLength, const uint8_t* key,
                                              uint32_t keyLength, const uint8_t* data,
                                              uint32_t dataLength, uint8_t* out,
                                              uint32_t* outLength, uint32_t reserved);

/* ---- Seals ------------------------------------------------------------- */

/* Loads seal data onto the card and checks the card's 32-byte digest of it
 * (SM3) against the caller's. No application selection.
 *
 * data     [in] dataLength bytes, sent in pieces.
 * expected [in] expectedLength bytes: the digest the caller expects.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH;
 * QAV_E_UNEXPECTED_DATA (the digests differ: the data is loaded all the
 * same).
 */
QAV_EXPORT uint32_t QAV_API QAV_SealWrite(QAV_HANDLE handle, const uint8_t* data,
                                          uint32_t dataLength, const uint8_t* expected,
                                          uint32_t expectedLength, uint32_t reserved);

/* Signs a hash with the seal key of a container (SM2, over the hash bytes
 * as given).
 *
 * containerName   [in]     the container.
 * hash            [in]     hashLength bytes (32).
 * text            [in]     may be null; text signed along.
 * signature       [out]    r || s, 64 bytes; null asks for the size.
 * signatureLength [in,out] capacity / length. A capacity of 0 is refused
 *                          (QAV_E_NULL_POINTER); one below 64 gives
 *                          QAV_E_BUFFER_TOO_SMALL and stays as it was.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH; QAV_E_NO_CONTAINER;
 * QAV_E_UNEXPECTED_DATA (an answer of another form);
 * QAV_E_BUFFER_TOO_SMALL.
 */
QAV_EXPORT uint32_t QAV_API QAV_SealSign(QAV_HANDLE handle, const char* containerName,
                                         const uint8_t* hash, uint32_t hashLength, const char* text,
                                         uint8_t* signature, uint32_t* signatureLength,
                                         uint32_t reserved);

/* Reads a seal picture (a PNG image). No application selection.
 *
 * pictureRef [in]     which picture (1, 2, ...).
 * out        [out]    the picture; null asks for its size.
 * outLength  [in,out] capacity / the picture's size. A capacity too small
 *                     gives QAV_E_BUFFER_TOO_SMALL with the size written.
 *                     It must not be 0 on entry, even with out null
 *                     (QAV_E_NULL_POINTER).
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BUFFER_TOO_SMALL;
 * QAV_E_UNEXPECTED_DATA (an answer of another form, or a picture shorter
 * than reported); QAV_E_ID_TOO_LARGE (pictureRef above 0xFFFF).
 */
QAV_EXPORT uint32_t QAV_API QAV_GetSealPic(QAV_HANDLE handle, uint32_t pictureRef, uint8_t* out,
                                           uint32_t* outLength, uint32_t reserved);

/* Has the card draw a seal picture watermarked with the hash, its signature
 * by the container's key and the text, and reads it.
 *
 * containerName [in]     the container whose key signs.
 * pictureRef    [in]     which picture.
 * hash          [in]     hashLength bytes (32).
 * text          [in]     may be null.
 * out           [out]    the picture; null asks for its size.
 * outLength     [in,out] capacity / the picture's size; not 0 on entry.
 *                        Each call signs anew, so the size may differ a
 *                        little from one call to the next: leave room.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH; QAV_E_NO_CONTAINER;
 * QAV_E_BUFFER_TOO_SMALL; QAV_E_UNEXPECTED_DATA; QAV_E_ID_TOO_LARGE
 * (pictureRef above 0xFFFF).
 */
QAV_EXPORT uint32_t QAV_API QAV_GetSealWaterMarkPic(QAV_HANDLE handle, const char* containerName,
                                                    uint32_t pictureRef, const uint8_t* hash,
                                                    uint32_t hashLength, const char* text,
                                                    uint8_t* out, uint32_t* outLength,
                                                    uint32_t reserved);

/* The account number of the payment application on the same card: its
 * track data up to the field separator, as upper-case hexadecimal text.
 * No seal application selection: the payment application stays selected,
 * so the next call on the seal application selects it anew, which drops a
 * verified PIN.
 *
 * out       [out]    the number, NUL-terminated; null asks for the size.
 * outLength [in,out] capacity / the size, the NUL counted.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BUFFER_TOO_SMALL;
 * QAV_E_NOT_FOUND (a record without track data); the result of the last
 * failed selection when no payment application answers.
 */
QAV_EXPORT uint32_t QAV_API QAV_GetCardNumber(QAV_HANDLE handle, char* out, uint32_t* outLength,
                                              uint32_t reserved);

/* ---- Containers and keys ------------------------------------------------
 *
 * A container is a named key slot on the card: a key type (1 RSA-1024,
 * 2 RSA-2048, 0x20 RSA-1280, 4 SM2, 8 SM2 second kind) and the card files of
 * its certificate, private key and public key. Functions that name a
 * container answer QAV_E_NO_CONTAINER when none has that exact name, and
 * QAV_E_NOT_FOUND when it lacks the file they need.
 */

/* The names of the card's containers, in table order.
 *
 * names [out] a library-owned array of NUL-terminated names, valid until the
 *             device closes or the last QAV_Finalize; do not free or
 *             change it. A call that finds the same names as an earlier
 *             one gives that earlier array.
 * count [out] the number of names (0 for a card without containers).
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER.
 */
QAV_EXPORT uint32_t QAV_API QAV_GetContainerList(QAV_HANDLE handle, char*** names, uint32_t* count,
                                                 uint32_t reserved);

/* Reads a container's certificate (DER).
 *
 * out       [out]    the certificate; null asks for its size.
 * outLength [in,out] capacity / the certificate's size. A file that does not
 *                    begin with a DER element in long length form gives 0.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_NO_CONTAINER; QAV_E_NOT_FOUND;
 * QAV_E_BUFFER_TOO_SMALL (size written, nothing copied).
 */
QAV_EXPORT uint32_t QAV_API QAV_ReadCert(QAV_HANDLE handle, const char* containerName, uint8_t* out,
                                         uint32_t* outLength, uint32_t reserved);

/* Generates a key pair on the card into a container's key files.
 *
 * keyType [in] 1, 2 or 0x20 (RSA), 4 or 8 (SM2). The container's own key
 *              type is not changed.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_ALGORITHM (key type);
 * QAV_E_NO_CONTAINER; QAV_E_NOT_FOUND.
 */
QAV_EXPORT uint32_t QAV_API QAV_GenKeyPair(QAV_HANDLE handle, const char* containerName,
                                           uint32_t keyType, uint32_t reserved);

/* Exports the public key of a container (key type 1 or 4).
 *
 * mode           [in]     the card's export mode; 1 reads wrapSelector.
 * wrapSelector   [in]     with mode 1: 1 or 3.
 * keyOut         [out]    the public key (RSA: modulus || exponent; SM2:
 *                         x || y); keyOutLength [in,out] capacity / length.
 * blockOut       [out]    the card's first answer (key type, size and SM3
 *                         of the key); null asks only its size, and the key
 *                         is then not read.
 * blockOutLength [in,out] capacity / length; required.
 * mode           [in]     0 or 1 (QAV_E_BAD_SELECTOR otherwise).
 *
 * Returns QAV_OK; QAV_E_BAD_ALGORITHM (wrapSelector, or a container of key
 * type 2, 0x20 or 8); QAV_E_NULL_POINTER; QAV_E_NO_CONTAINER;
 * QAV_E_NOT_FOUND; QAV_E_BAD_SELECTOR; QAV_E_BUFFER_TOO_SMALL;
 * QAV_E_UNEXPECTED_DATA.
 */
QAV_EXPORT uint32_t QAV_API QAV_ExportPublicKey(QAV_HANDLE handle, uint32_t mode,
                                                const char* containerName, uint32_t wrapSelector,
                                                uint8_t* keyOut, uint32_t* keyOutLength,
                                                uint8_t* blockOut, uint32_t* blockOutLength,
                                                uint32_t reserved);

/* A session key, created by the library for one device and owned by it:
 * valid until QAV_DelSessionKey, the device's closing or the last
 * QAV_Finalize. */
typedef struct QAV_SessionKey QAV_SessionKey;

/* Loads one component of a key into a container's public-key file
 * (QAV_WritePublicKey) or private-key file (QAV_WritePrivateKey). The
 * command carries a MAC over a fresh challenge.
 *
 * keyType         [in] 1, 2, 0x20 (RSA) or 4, 8 (SM2).
 * component       [in] RSA, counted from 1: modulus, exponent (public); p,
 *                      q, dp, dq, qinv (private). Not read for SM2.
 * value           [in] valueLength bytes.
 * key             [in] may be null; a session key under which value is
 *                      encrypted.
 * challengeLength [in] 4, 8 or 16.
 * mac             [in] computes the MAC; context1, context2 handed to it.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH; QAV_E_BAD_KEY (key
 * not of this device); QAV_E_NO_CONTAINER; QAV_E_BAD_ALGORITHM (key type);
 * QAV_E_BAD_SELECTOR (component); the MAC callback's error.
 */
QAV_EXPORT uint32_t QAV_API QAV_WritePublicKey(QAV_HANDLE handle, const char* containerName,
                                               uint32_t keyType, uint32_t component,
                                               const uint8_t* value, uint32_t valueLength,
                                               QAV_SessionKey* key, uint32_t challengeLength,
                                               QAV_MacCallback mac, uintptr_t context1,
                                               uintptr_t context2);
QAV_EXPORT uint32_t QAV_API QAV_WritePrivateKey(QAV_HANDLE handle, const char* containerName,
                                                uint32_t keyType, uint32_t component,
                                                const uint8_t* value, uint32_t valueLength,
                                                QAV_SessionKey* key, uint32_t challengeLength,
                                                QAV_MacCallback mac, uintptr_t context1,
                                                uintptr_t context2);

/* A calculation with a container's public key (QAV_PublicKeyCalc) or
 * private key (QAV_PrivateKeyCalc, after the PIN).
 *
 * RSA containers: mode not 0 pads input (PKCS #1 v1.5, public: block type
 * 2, private: block type 1; at most modulus - 11 bytes) and hands over the
 * whole result; mode 0 takes input as one modulus-long block and removes
 * the other block type's padding from the result.
 * SM2 containers: public mode not 0 encrypts, 0 verifies (input = hash ||
 * r || s); private mode 0 decrypts, not 0 signs.
 *
 * input     [in]     inputLength bytes.
 * out       [out]    the result; null asks for the size (RSA with padding).
 * outLength [in,out] capacity / length.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH (mode 0 and an input
 * that is not one modulus long); QAV_E_NO_CONTAINER; QAV_E_NOT_FOUND;
 * QAV_E_BAD_ALGORITHM (key type); QAV_E_PADDING; QAV_E_BUFFER_TOO_SMALL.
 */
QAV_EXPORT uint32_t QAV_API QAV_PublicKeyCalc(QAV_HANDLE handle, const char* containerName,
                                              uint32_t mode, const uint8_t* input,
                                              uint32_t inputLength, uint8_t* out,
                                              uint32_t* outLength, uint32_t reserved);
QAV_EXPORT uint32_t QAV_API QAV_PrivateKeyCalc(QAV_HANDLE handle, const char* containerName,
                                               uint32_t mode, const uint8_t* input,
                                               uint32_t inputLength, uint8_t* out,
                                               uint32_t* outLength, uint32_t reserved);

/* The card's raw private-key calculation with an RSA container's key, after
 * the PIN: one modulus-long block in, one out, no padding added or removed
 * on the host. Paddings the card does not know (PSS, OAEP, a caller's own)
 * are made and checked around it by the caller.
 *
 * containerName [in]     an RSA container (key type 1, 2 or 0x20).
 * input         [in]     inputLength bytes: exactly the modulus length.
 * out           [out]    the result, the modulus length; null asks for
 *                        the size.
 * outLength     [in,out] capacity / length.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER (containerName, input or outLength);
 * QAV_E_BAD_LENGTH (inputLength 0, or not the modulus length);
 * QAV_E_NO_CONTAINER; QAV_E_NOT_FOUND (no private-key file);
 * QAV_E_BAD_ALGORITHM (an SM2 container or another key type);
 * QAV_E_BUFFER_TOO_SMALL (the size written, nothing copied);
 * QAV_E_UNEXPECTED_DATA (an answer that is not one modulus long);
 * QAV_CARD_STATUS(0x6982) before the PIN.
 */
QAV_EXPORT uint32_t QAV_API QAV_PrivateKeyCalcRaw(QAV_HANDLE handle, const char* containerName,
                                                  const uint8_t* input, uint32_t inputLength,
                                                  uint8_t* out, uint32_t* outLength,
                                                  uint32_t reserved);

/* Has the card check a certificate: container A's key pair, B's public key
 * (its key type choosing RSA or SM2), C's certificate and key files.
 *
 * algorithm [in] 1 or 3.
 * data      [in] dataLength bytes (1 to 65535): the certificate.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER (a container name, then data);
 * QAV_E_BAD_ALGORITHM; QAV_E_BAD_LENGTH; these before anything is sent;
 * QAV_E_NO_CONTAINER; QAV_E_NOT_FOUND; QAV_CARD_STATUS(0x6A80) (the
 * signature does not hold). The PIN-change mark of QAV_GetState kind 1 is
 * kept.
 */
QAV_EXPORT uint32_t QAV_API QAV_VerifyCertData(QAV_HANDLE handle, const char* containerA,
                                               const char* containerB, const char* containerC,
                                               uint32_t algorithm, const uint8_t* data,
                                               uint32_t dataLength, uint32_t reserved);

/* ---- Session keys ------------------------------------------------------ */

/* Loads a session key onto the card.
 *
 * algorithm     [in]  1 (SM4), 4 (AES-128), 8 (DES), 16 (2-key 3DES),
 *                     32 (3-key 3DES), 64 (SM4).
 * key           [in]  keyLength bytes: the key, or with containerName the
 *                     key wrapped under the container's public key.
 * containerName [in]  may be null; a container of key type 1, 0x20 or 4.
 * keyOut        [out] the new session key.
 *
 * Returns QAV_OK; QAV_E_BAD_ALGORITHM (algorithm, checked first, or the
 * container's key type); QAV_E_NULL_POINTER; QAV_E_BAD_LENGTH;
 * QAV_E_NO_CONTAINER; QAV_E_NOT_FOUND; QAV_E_UNEXPECTED_DATA (the card
 * answers a key number above 4).
 */
QAV_EXPORT uint32_t QAV_API QAV_ImportSessionKey(QAV_HANDLE handle, uint32_t algorithm,
                                                 const uint8_t* key, uint32_t keyLength,
                                                 const char* containerName, QAV_SessionKey** keyOut,
                                                 uint32_t reserved);

/* Reads a session key off the card, plain or wrapped under a container's
 * public key (key type 1, 2 or 4).
 *
 * key           [in]     a session key of this device.
 * containerName [in]     may be null (plain).
 * out           [out]    the key; outLength [in,out] capacity / length.
 *
 * Returns QAV_OK; QAV_E_BAD_KEY; QAV_E_NO_CONTAINER; QAV_E_NOT_FOUND;
 * QAV_E_BAD_ALGORITHM; QAV_E_NULL_POINTER; QAV_E_BUFFER_TOO_SMALL.
 */
QAV_EXPORT uint32_t QAV_API QAV_ExportSessionKey(QAV_HANDLE handle, QAV_SessionKey* key,
                                                 const char* containerName, uint8_t* out,
                                                 uint32_t* outLength, uint32_t reserved);

/* A session key for the card's own cipher key (SM4); nothing is sent.
 *
 * keyOut [out] a new handle at each call.
 *
 * Returns QAV_OK; QAV_E_NULL_POINTER.
 */
QAV_EXPORT uint32_t QAV_API QAV_GetEnDeKeyHandle(QAV_HANDLE handle, QAV_SessionKey** keyOut,
                                                 uint32_t reserved);

/* Deletes a session key on the card and frees its handle. When the card
 * refuses, the handle stays valid. A handle of the card's own cipher key
 * (QAV_GetEnDeKeyHandle) is only freed: that key stays on the card.
 *
 * Returns QAV_OK; QAV_E_BAD_KEY.
 */
QAV_EXPORT uint32_t QAV_API QAV_DelSessionKey(QAV_HANDLE handle, QAV_SessionKey* key,
                                              uint32_t reserved);

/* Encrypts / decrypts with a session key on the card.
 *
 * key         [in]     a session key of this device.
 * withIv      [in]     1: chained (CBC) with iv; 0: ECB.
 * padding     [in]     0 none (input a whole number of blocks); 1: 80 then
 *                      zeros; 2: n bytes of value n. Encrypt adds it,
 *                      decrypt removes it.
 * iv          [in]     ivLength bytes, the cipher's block (16, or 8 for the
 *                      DES family) when withIv is 1.
 * input       [in]     inputLength bytes (decrypt: whole blocks).
 * out         [out]    the result; outLength [in,out] capacity / length.
 *
 * Returns QAV_OK; QAV_E_BAD_KEY; QAV_E_BAD_LENGTH (input not whole blocks;
 * decrypt checks it before the iv); QAV_E_BAD_CIPHER_MODE (withIv above 1);
 * QAV_E_IV_LENGTH; QAV_E_NULL_POINTER (iv with withIv 1); QAV_E_BAD_SELECTOR
 * (padding); all of these before anything is sent; QAV_E_PADDING
 * (decrypted data not padded so); QAV_E_NULL_POINTER (input, outLength);
 * QAV_E_BUFFER_TOO_SMALL.
 */
QAV_EXPORT uint32_t QAV_API QAV_SessionKeyEncrypt(QAV_HANDLE handle, QAV_SessionKey* key,
                                                  uint32_t withIv, uint32_t padding,
                                                  const uint8_t* iv, uint32_t ivLength,
                                                  const uint8_t* input, uint32_t inputLength,
                                                  uint8_t* out, uint32_t* outLength,
                                                  uint32_t reserved);
QAV_EXPORT uint32_t QAV_API QAV_SessionKeyDecrypt(QAV_HANDLE handle, QAV_SessionKey* key,
                                                  uint32_t withIv, uint32_t padding,
                                                  const uint8_t* iv, uint32_t ivLength,
                                                  const uint8_t* input, uint32_t inputLength,
                                                  uint8_t* out, uint32_t* outLength,
                                                  uint32_t reserved);
/* ---- Device-change watches ------------------------------------------- */

/* Starts a watch: a thread of the library's own that calls callback with
 * (name, 1, userValue, 0) for every device (a reader holding a usable card,
 * whatever its name) that arrives and (name, 0, userValue, 0) for every one
 * that leaves. The first listing reports every device already present as
 * arrived. Within one listing all arrivals come first, in reader order,
 * then all removals. A listing that fails, or a service that went away
 * even if a new one is already up (its cards were reset), reports every
 * known device as removed; the watch then restarts the device factory and
 * reports them again when they are back. The watch waits in the service
 * between listings, so an idle watch costs next to nothing; a change is
 * reported about 30 ms plus one listing after it happened. A thread may
 * start several watches.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED; QAV_E_NULL_POINTER (no callback);
 * QAV_E_THREAD.
 */
QAV_EXPORT uint32_t QAV_CDECL QAV_DetectDeviceChange(QAV_DeviceChangeCallback callback,
                                                     uintptr_t userValue);

/* Stops watches and waits until their threads have ended. scope 0: the
 * oldest watch the calling thread started (none: nothing happens); an odd
 * scope: every watch; an even scope other than 0: nothing. Called from a
 * device-change callback, a cancel that meets the callback's own watch
 * tells it to stop and does not wait for it.
 *
 * Returns QAV_OK; QAV_E_NOT_INITIALIZED.
 */
QAV_EXPORT uint32_t QAV_CDECL QAV_CancelDetectDeviceChange(uint32_t scope);

#ifdef __cplusplus
}
#endif

#endif /* QAVSEAL_QAVSEAL_H */
