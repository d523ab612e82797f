// What Windows lets a process take away from itself, cheaply and without an administrator.
//
// Confining the files a process reaches to one folder takes an AppContainer, which a process
// must be started in: a browser starts the host as an ordinary process of the user. Keeping the
// host from starting programs (a job limited to one active process, or the child-process
// mitigation policy) would keep it from opening a file too: ShellExecuteExW starts the file's
// application as a child of the host. So the host applies only the mitigation policies that
// bind this process alone and that neither opening nor revealing needs.
#include <windows.h>

#include "Platform/Confinement.h"

namespace tamberlo {
namespace {

// No DLL loaded from a remote share or with a low integrity label, and system DLLs taken from
// System32 before the program's folder.
bool restrictImageLoads() {
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY policy = {};
  policy.NoRemoteImages = 1;
  policy.NoLowMandatoryLabelImages = 1;
  policy.PreferSystem32Images = 1;
  return ::SetProcessMitigationPolicy(ProcessImageLoadPolicy, &policy, sizeof policy) != FALSE;
}

// No DLL injected through the legacy extension points: AppInit DLLs, Winsock layered service
// providers, global window hooks, legacy input method editors.
bool disableExtensionPoints() {
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY policy = {};
  policy.DisableExtensionPoints = 1;
  return ::SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy, &policy, sizeof policy) !=
         FALSE;
}

}  // namespace

std::optional<std::string> confineToDownloads(const std::optional<std::string>&,
                                              std::optional<int>) {
  std::string missing = "file confinement and the ban on starting programs";
  if (!restrictImageLoads()) missing += ", the DLL load restrictions";
  if (!disableExtensionPoints()) missing += ", the extension-point ban";
  return missing;
}

}  // namespace tamberlo
