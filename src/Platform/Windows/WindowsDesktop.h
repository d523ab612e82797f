// What the Windows desktop decides before it hands a file to the shell.
#pragma once

#include <string_view>

namespace tamberlo {

// True when the shell would run the file named `name` (its last path component) as a program, or
// start one from it, when asked to open it: its extension is one the shell counts as dangerous
// (AssocIsDangerous), one of PATHEXT's executable extensions (Windows' own list where PATHEXT is
// unset), one of a fixed list of program, script, shortcut and installer types that holds even
// where the shell's own verdict is missing, or a class ID ("x.{...}"). Letter case does not
// matter. A name without an extension is no program.
bool runsAsProgram(std::wstring_view name);

}  // namespace tamberlo
