// The text of the Zone.Identifier stream that marks a file on Windows as come from the web.
#pragma once

#include <string>

#include "Platform/FileSystem.h"

namespace tamberlo::ZoneIdentifier {

// The stream's text for `mark`: "[ZoneTransfer]", "ZoneId=3" (the Internet zone), then
// "ReferrerUrl=" and "HostUrl=" lines for the addresses given, each line ended by CR LF. Every
// byte of an address that is a control character, a space, DEL or not ASCII is written as "%XX"
// (its hex value): the text is plain ASCII, and an address cannot end its line and add lines of
// its own (a second "ZoneId=0").
std::string text(const OriginMark& mark);

}  // namespace tamberlo::ZoneIdentifier
