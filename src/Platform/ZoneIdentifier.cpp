#include "Platform/ZoneIdentifier.h"

namespace tamberlo::ZoneIdentifier {
namespace {

// `address` with every byte outside printable ASCII (space included) percent-encoded.
std::string escaped(std::string_view address) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(address.size());
  for (char c : address) {
    auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    }
  }
  return out;
}

}  // namespace

std::string text(const OriginMark& mark) {
  std::string out = "[ZoneTransfer]\r\nZoneId=3\r\n";
  if (!mark.referrer.empty()) out += "ReferrerUrl=" + escaped(mark.referrer) + "\r\n";
  if (!mark.url.empty()) out += "HostUrl=" + escaped(mark.url) + "\r\n";
  return out;
}

}  // namespace tamberlo::ZoneIdentifier
