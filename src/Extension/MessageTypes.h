// The message types, spelled once: the dispatch table routes by them and each family names its
// own in its log lines and replies.
#pragma once

#include <string_view>

namespace tamberlo::MessageType {

inline constexpr std::string_view kFilePrefix = "file.";
inline constexpr std::string_view kTransferPrefix = "file.write.";

inline constexpr std::string_view kBegin = "file.write.begin";
inline constexpr std::string_view kChunk = "file.write.chunk";
inline constexpr std::string_view kEnd = "file.write.end";
inline constexpr std::string_view kAbort = "file.write.abort";
inline constexpr std::string_view kStatus = "file.write.status";
inline constexpr std::string_view kList = "file.write.list";
inline constexpr std::string_view kChannel = "file.write.channel";
inline constexpr std::string_view kExists = "file.exists";
inline constexpr std::string_view kOpen = "file.open";
inline constexpr std::string_view kReveal = "file.reveal";
inline constexpr std::string_view kVersion = "file.version";

}  // namespace tamberlo::MessageType
