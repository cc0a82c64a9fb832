// A seal key bound to its slot: the open device, the objects read once from
// its containers, and the application's login on it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cryptoki.h"
#include "objects.h"
#include "qavseal/qavseal.h"

namespace qav::p11 {

class Token {
public:
    // Opens the key in reader and reads every container's certificate. Talks
    // to the card: call it with no module lock held.
    static std::shared_ptr<Token> Bind(const std::string& reader,
                                       std::atomic<CK_OBJECT_HANDLE>* nextHandle);
    ~Token();
    Token(const Token&) = delete;
    Token& operator=(const Token&) = delete;

    QAV_HANDLE Handle() const { return handle_; }
    const std::string& Reader() const { return reader_; }
    const std::vector<Object>& Objects() const { return objects_; }
    const Object* Find(CK_OBJECT_HANDLE handle) const;
    // 16 hexadecimal digits derived from the certificates.
    const std::string& Serial() const { return serial_; }

    // The token flags, with the PIN's state read without spending a try.
    CK_FLAGS Flags();

    bool LoggedIn() const;
    // C_Login for the user: verifies the PIN on the card.
    CK_RV Login(const std::string& pin);
    // Verifies again for a context-specific login.
    CK_RV Reverify(const std::string& pin);
    // Ends the login on the card too.
    CK_RV Logout();
    // The card said the PIN is no longer verified.
    void ForgetLogin();
    CK_RV ChangePin(const std::string& oldPin, const std::string& newPin);

private:
    Token(std::string reader, QAV_HANDLE handle) : reader_(std::move(reader)), handle_(handle) {}
    CK_RV Verify(const std::string& pin);

    const std::string reader_;
    const QAV_HANDLE handle_;
    std::vector<Object> objects_;
    std::string serial_;

    mutable std::mutex lock_;
    bool loggedIn_ = false;
    uint32_t mostTries_ = 0;  // the card's most tries, or the most seen: fewer means a wrong PIN
};

// The PIN as the card takes it: digits only, else CKR_PIN_INCORRECT (a PIN
// that cannot be right is not worth a try on the card).
std::optional<CK_RV> CheckPinText(const std::string& pin);

}  // namespace qav::p11
