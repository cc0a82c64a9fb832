#include "apdu.h"

namespace vcard {

std::optional<Apdu> ParseApdu(const Bytes& command) {
  if (command.size() < 4) return std::nullopt;
  Apdu apdu;
  apdu.cla = command[0];
  apdu.ins = command[1];
  apdu.p1 = command[2];
  apdu.p2 = command[3];
  const size_t rest = command.size() - 4;
  if (rest == 0) return apdu;
  const size_t first = command[4];
  if (rest == 1) {
    apdu.hasLe = true;
    apdu.le = first == 0 ? 256 : first;
    return apdu;
  }
  if (first == 0 || rest < 1 + first) return std::nullopt;
  apdu.data.assign(command.begin() + 5, command.begin() + 5 + static_cast<std::ptrdiff_t>(first));
  if (rest == 1 + first) return apdu;
  if (rest != 2 + first) return std::nullopt;
  apdu.hasLe = true;
  apdu.le = command.back() == 0 ? 256 : command.back();
  return apdu;
}

}  // namespace vcard
