// The file domain's errors that every file system gives in the same words: the replies carry
// these descriptions, so each is written once, here, for every OS.
#pragma once

#include <string_view>

#include "Platform/Error.h"

namespace tamberlo::FileErrors {

// A write that failed with `cause`: out of space (640, "Cannot write the file: the volume is out
// of space.") when the cause is of the no-space kind, else 512 with the cause's description.
Error writeFailed(Error cause);

// `operation` refused because nothing stands at the name: 4, "<operation>: the file does not
// exist.", of the not-found kind.
Error noSuchFile(std::string_view operation, Error cause);

// `operation` refused because the object at the name is a link, folder, device or pipe: 512,
// "<operation>: it is not a regular file.", of the not-a-regular-file kind.
Error notRegularFile(std::string_view operation, Error cause);

// `operation` refused because the file has more names than one: 512, "<operation>: it has other
// names (hard links).", of the not-a-regular-file kind.
Error hasOtherNames(std::string_view operation, Error cause);

// A move refused because its target name is taken: 516, "Cannot move the file: a file of that
// name exists.", of the exists kind.
Error nameTaken(Error cause);

// A move undone because what it moved was not the file checked before: 512, "Cannot move the
// file: another file took its place.".
Error replacedDuringMove();

}  // namespace tamberlo::FileErrors
