// The file errors that every file system gives in the same words: the replies carry these
// descriptions, so each is written once, here, for every OS. Each keeps the OS code of its cause.
#pragma once

#include <string_view>

#include "Platform/Error.h"

namespace tamberlo::FileErrors {

// A write that failed with `cause`: "Cannot write the file: the volume is out of space." when
// the cause is of the no-space kind, else the cause itself.
Error writeFailed(Error cause);

// `operation` refused because nothing stands at the name: "<operation>: the file does not
// exist.", of the not-found kind.
Error noSuchFile(std::string_view operation, const Error& cause);

// `operation` refused because the object at the name is a link, folder, device or pipe:
// "<operation>: it is not a regular file.", of the not-a-regular-file kind.
Error notRegularFile(std::string_view operation, const Error& cause);

// `operation` refused because the file has more names than one: "<operation>: it has other
// names (hard links).", of the not-a-regular-file kind.
Error hasOtherNames(std::string_view operation, const Error& cause);

// A move refused because its target name is taken: "Cannot move the file: a file of that name
// exists.", of the exists kind.
Error nameTaken(const Error& cause);

// A move undone because what it moved was not the file checked before: "Cannot move the file:
// another file took its place.".
Error replacedDuringMove();

// A lock refused because another open handle holds it: "another transfer is writing this part
// file", of the locked kind.
Error locked();

// A mark of the web refused because the file system keeps none (no user attributes, no
// streams): "Cannot mark the file's origin: the file system keeps no such mark.".
Error keepsNoOrigin(const Error& cause);

}  // namespace tamberlo::FileErrors
