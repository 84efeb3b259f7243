// Per-user desktop integration: the launcher, the container file type, the
// icon and the file-manager actions (folder "Protect", container "Open" and
// "Browse") for the user running the program, under the XDG data and config
// folders.
//
// Nothing here needs root: every file lands below $XDG_DATA_HOME (default
// ~/.local/share) or $XDG_CONFIG_HOME (default ~/.config). A file that is
// already there and is not one of ours is moved aside to
// "<name>.korvane-backup" before ours replaces it. The file contents are
// compiled into the program, so the integration works from a bare binary.
#pragma once

#include <string>

namespace korvane::platform {

// Installs (or refreshes) the integration for the current user. programPath
// is the program the launcher and the actions start (normally the absolute
// path of the running korvane). Runs update-mime-database, xdg-mime and
// update-desktop-database when they are installed. Returns 0 on success, 1
// when any file could not be written; report lists, one line each, what was
// written, backed up, skipped or failed.
int InstallDesktopIntegration(const std::string& programPath, std::string& report);

// Removes what InstallDesktopIntegration wrote (only files that are ours, and
// only our entries in the Thunar actions file), puts back backups it made.
// Returns 0 on success, 1 when something of ours could not be removed.
int UninstallDesktopIntegration(std::string& report);

}  // namespace korvane::platform
