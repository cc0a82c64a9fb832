// The virtual seal key: a card emulator that answers APDUs the way a
// personalised seal key does, with real cryptography behind the commands.
// Used in-process by the unit tests' fake PC/SC service and, through the
// qavseal-vcard program, by a real pcscd with the vpcd driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vcard {

enum class Transport {
  T1,  // answers carry their data directly
  T0,  // data waits behind 61xx for GET RESPONSE; a wrong Le gets 6Cxx
};

struct Options {
  Transport transport = Transport::T1;
  std::vector<uint8_t> atr;     // overrides the image's ATR when not empty
  bool failProbe = false;       // the seal application cannot be selected
  long vanishAfter = -1;        // the card disappears after this many commands
  bool paymentNeedsLe = false;  // payment directory SELECT without Le gets 6700
};

class SealCard {
 public:
  // The default personalised key: fresh RSA-1024, RSA-2048 and SM2 keys,
  // certificates and seal pictures (see sim/README.md).
  static std::unique_ptr<SealCard> CreateDefault(const Options& options = {});
  // Card images as written by SaveJson/ToJson. Throw std::runtime_error on a
  // file that cannot be read or parsed.
  static std::unique_ptr<SealCard> FromJson(const std::string& json, const Options& options = {});
  static std::unique_ptr<SealCard> FromJsonFile(const std::string& path, const Options& options = {});

  SealCard(const SealCard&) = delete;
  SealCard& operator=(const SealCard&) = delete;
  ~SealCard();

  std::vector<uint8_t> Atr() const;
  // Response data followed by SW1 SW2. Never throws; an empty answer means
  // the card has vanished (Options::vanishAfter).
  std::vector<uint8_t> Transmit(const std::vector<uint8_t>& command);
  // Card reset: security state and pending answers cleared.
  void Reset();
  bool Present() const;
  // Persistent state changed since the last ClearModified().
  bool Modified() const;
  void ClearModified();
  unsigned long CommandCount() const;

  std::string ToJson() const;
  void SaveJson(const std::string& path) const;
  const Options& GetOptions() const;

 private:
  struct Impl;
  explicit SealCard(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vcard
