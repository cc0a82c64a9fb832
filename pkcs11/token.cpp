#include "token.h"

#include <cstdio>

#include "bytes.h"
#include "cert_info.h"
#include "errors.h"
#include "hash.h"

namespace qav::p11 {

namespace {

// The byte of the ability information holding the PIN's tries when unused.
constexpr size_t kAbilityPinTries = 23;

Bytes ReadCertificate(QAV_HANDLE handle, const char* container) {
    uint32_t length = 0;
    if (QAV_ReadCert(handle, container, nullptr, &length, 0) != QAV_OK || length == 0) return {};
    Bytes der(length);
    if (QAV_ReadCert(handle, container, der.data(), &length, 0) != QAV_OK) return {};
    der.resize(length);
    return der;
}

// A key holds a few pictures, numbered from 1 with no gaps.
constexpr uint32_t kMostPictures = 16;

Bytes ReadPicture(QAV_HANDLE handle, uint32_t pictureRef) {
    uint32_t length = 1;  // a size query still needs a capacity that is not 0
    const uint32_t rc = QAV_GetSealPic(handle, pictureRef, nullptr, &length, 0);
    if ((rc != QAV_OK && rc != QAV_E_BUFFER_TOO_SMALL) || length == 0) return {};
    Bytes png(length);
    if (QAV_GetSealPic(handle, pictureRef, png.data(), &length, 0) != QAV_OK ||
        length > png.size()) {
        return {};
    }
    png.resize(length);
    return png;
}

std::string HexPrefix(const Bytes& digest, size_t digits) {
    std::string out;
    char two[3] = {};
    for (size_t i = 0; i < digest.size() && out.size() < digits; ++i) {
        std::snprintf(two, sizeof two, "%02X", digest[i]);
        out += two;
    }
    return out.substr(0, digits);
}

}  // namespace

std::optional<CK_RV> CheckPinText(const std::string& pin) {
    if (pin.size() < 4 || pin.size() > 16) return CKR_PIN_LEN_RANGE;
    for (const char c : pin) {
        if (c < '0' || c > '9') return CKR_PIN_INCORRECT;
    }
    return std::nullopt;
}

std::shared_ptr<Token> Token::Bind(const std::string& reader,
                                   std::atomic<CK_OBJECT_HANDLE>* nextHandle) {
    QAV_HANDLE handle = 0;
    if (const uint32_t rc = QAV_OpenDevice(reader.c_str(), &handle, 0)) Fail(FromLibrary(rc));
    std::shared_ptr<Token> token(new Token(reader, handle));
    // The card's most tries: without it, a process that meets the key after
    // a wrong PIN elsewhere would take the tries left for the most.
    uint8_t ability[64] = {};
    if (QAV_GetAbilityInfo(handle, ability, 0) == QAV_OK && ability[kAbilityPinTries] >= 1 &&
        ability[kAbilityPinTries] <= 15) {
        token->mostTries_ = ability[kAbilityPinTries];
    }

    char** names = nullptr;
    uint32_t count = 0;
    if (const uint32_t rc = QAV_GetContainerList(handle, &names, &count, 0)) Fail(FromLibrary(rc));
    std::vector<std::string> containers;
    for (uint32_t i = 0; i < count; ++i) containers.emplace_back(names[i]);

    Hasher serial(HashAlg::Sha256);
    bool anyCertificate = false;
    for (const std::string& container : containers) {
        const Bytes der = ReadCertificate(handle, container.c_str());
        if (der.empty()) continue;
        const std::optional<CertInfo> info = ParseCertificate(der);
        if (!info) continue;
        anyCertificate = true;
        serial.Update(der.data(), der.size());
        CK_OBJECT_HANDLE first = nextHandle->fetch_add(3);
        for (Object& o : ContainerObjects(container, der, *info, &first)) {
            token->objects_.push_back(std::move(o));
        }
    }
    // A picture the card would read only after the PIN is left out: the
    // objects are read once, before any login.
    for (uint32_t ref = 1; ref <= kMostPictures; ++ref) {
        const Bytes png = ReadPicture(handle, ref);
        if (png.empty()) break;
        token->objects_.push_back(PictureObject(ref, png, nextHandle->fetch_add(1)));
    }
    if (!anyCertificate)
        serial.Update(reinterpret_cast<const uint8_t*>(reader.data()), reader.size());
    token->serial_ = HexPrefix(serial.Final(), 16);
    return token;
}

Token::~Token() { QAV_CloseDevice(handle_, 0); }

const Object* Token::Find(CK_OBJECT_HANDLE handle) const {
    for (const Object& o : objects_) {
        if (o.handle == handle) return &o;
    }
    return nullptr;
}

CK_FLAGS Token::Flags() {
    CK_FLAGS flags = CKF_RNG | CKF_WRITE_PROTECTED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED |
                     CKF_TOKEN_INITIALIZED;
    // VERIFY without data: the card tells the tries left and spends none.
    uint32_t tries = 0;
    const uint32_t rc = QAV_VerifyPIN(handle_, nullptr, &tries, 1);
    std::lock_guard<std::mutex> guard(lock_);
    if (rc == QAV_E_PIN_BLOCKED) {
        flags |= CKF_USER_PIN_LOCKED;
    } else if (rc == QAV_E_PIN_WRONG) {
        if (tries > mostTries_) mostTries_ = tries;
        if (tries < mostTries_) flags |= CKF_USER_PIN_COUNT_LOW;
        if (tries == 1) flags |= CKF_USER_PIN_FINAL_TRY;
    }
    return flags;
}

bool Token::LoggedIn() const {
    std::lock_guard<std::mutex> guard(lock_);
    return loggedIn_;
}

CK_RV Token::Verify(const std::string& pin) {
    if (const auto rv = CheckPinText(pin)) return *rv;
    uint32_t tries = 0;
    const uint32_t rc = QAV_VerifyPIN(handle_, pin.c_str(), &tries, 0);
    std::lock_guard<std::mutex> guard(lock_);
    if (rc == QAV_OK) {
        loggedIn_ = true;
        return CKR_OK;
    }
    loggedIn_ = false;
    if (rc == QAV_E_NULL_POINTER) return CKR_PIN_INCORRECT;
    return FromLibrary(rc);
}

CK_RV Token::Login(const std::string& pin) {
    if (LoggedIn()) return CKR_USER_ALREADY_LOGGED_IN;
    return Verify(pin);
}

CK_RV Token::Reverify(const std::string& pin) { return Verify(pin); }

CK_RV Token::Logout() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!loggedIn_) return CKR_USER_NOT_LOGGED_IN;
        loggedIn_ = false;
    }
    // Selecting the application anew drops the verified PIN on the card.
    const uint32_t rc = QAV_ClearSecureState(handle_, 0);
    return rc == QAV_OK ? CKR_OK : FromLibrary(rc);
}

void Token::ForgetLogin() {
    std::lock_guard<std::mutex> guard(lock_);
    loggedIn_ = false;
}

CK_RV Token::ChangePin(const std::string& oldPin, const std::string& newPin) {
    if (const auto rv = CheckPinText(oldPin)) return *rv;
    if (newPin.size() < 4 || newPin.size() > 16) return CKR_PIN_LEN_RANGE;
    for (const char c : newPin) {
        if (c < '0' || c > '9') return CKR_PIN_INVALID;
    }
    uint32_t tries = 0;
    const uint32_t rc = QAV_ChangePIN(handle_, oldPin.c_str(), newPin.c_str(), &tries, 0);
    if (rc == QAV_E_PIN_UNCHANGED) return CKR_OK;
    if (rc != QAV_OK) return FromLibrary(rc);
    // The change leaves the new PIN verified: an application that had not
    // logged in must not find the card open afterwards.
    if (!LoggedIn()) QAV_ClearSecureState(handle_, 0);
    return CKR_OK;
}

}  // namespace qav::p11
