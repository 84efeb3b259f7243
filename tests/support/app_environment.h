// The machine the application's tests run the program on: facts it would
// otherwise take from the real machine, fixed so that no test depends on
// the disk it runs on or spends seconds deriving keys.
#pragma once

#include <string>

#include "korvane/forms/application.h"
#include "korvane/forms/hardened_escrow.h"
#include "korvane/forms/recovery_escrow.h"
#include "korvane/keys/hardened_keys.h"
#include "korvane/platform/platform.h"

namespace testsupport {

// Plenty of free disk space, the program in `programDir`/bin, the usual
// system folders, the built-in recovery keys, the cheapest key derivation
// the program accepts and a support address. Tests add what they are about.
inline korvane::TEnvironment AppEnvironment(const std::string& programDir = "/opt/korvane") {
  korvane::TEnvironment environment;
  environment.GetDiskFreeSpace = [](const std::string&, korvane::platform::DiskSpace& space) {
    space.AvailableToCaller = 1ull << 40;
    space.Total = 1ull << 41;
    space.TotalFree = 1ull << 40;
    return true;
  };
  environment.ExecutablePath = [programDir] { return programDir + "/bin/korvane"; };
  environment.SystemFolders = {"/usr", "/etc"};
  environment.RecoveryKey = [] { return korvane::BuiltInRecoveryKey(); };
  environment.HardenedRecoveryKey = [] { return korvane::BuiltInHardenedRecoveryKey(); };
  // The least cost the program accepts: protecting calibrates otherwise.
  environment.ProtectKdf = [] { return korvane::kKdfFloor; };
  environment.SupportAddress = [] { return std::string("help@example.test"); };
  return environment;
}

}  // namespace testsupport
