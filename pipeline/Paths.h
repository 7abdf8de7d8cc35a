#pragma once
// Where Ostrela keeps its files. Each location follows the XDG base-directory rules and can be
// redirected by an environment variable, so tests and second instances never touch a real home.
#include <string>

namespace ostrela {

// Settings stores: $OSTRELA_CONFIG_DIR, else $XDG_CONFIG_HOME/ostrela, else ~/.config/ostrela.
std::string configDirectory();

// Per-user application data (the media library lives below it):
// $OSTRELA_DATA_DIR, else $XDG_DATA_HOME/ostrela, else ~/.local/share/ostrela.
std::string dataDirectory();

// The container shared with the camera program: $OSTRELA_CONTAINER_DIR, else
// dataDirectory() + "/group.com.morwick.Ostrela". Created on demand with mode 0700.
// Empty when it cannot be obtained.
std::string containerDirectory();

// The path of the directory without creating it (for messages and tests).
std::string containerDirectoryPath();

// Creates `dir` and its parents; the last component gets `mode`. True when it exists as a directory.
bool ensureDirectory(const std::string& dir, unsigned mode);

}  // namespace ostrela
