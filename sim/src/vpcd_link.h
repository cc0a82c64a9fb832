// The client end of the vpcd driver's socket: messages of a 2-byte
// big-endian length and a payload.
#pragma once

#include <cstdint>
#include <string>

#include "bytes.h"

namespace vcard {

class VpcdLink {
 public:
  VpcdLink(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {}
  VpcdLink(const VpcdLink&) = delete;
  VpcdLink& operator=(const VpcdLink&) = delete;
  ~VpcdLink() { Close(); }

  bool Connect();  // one attempt
  void Close();
  bool Connected() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  // False when the peer closed the link or it failed.
  bool Receive(Bytes& message);
  bool Send(const Bytes& message);

 private:
  bool ReadExactly(uint8_t* out, size_t count);
  std::string host_;
  uint16_t port_;
  int fd_ = -1;
};

}  // namespace vcard
