#include "pipeline/Paths.h"

#include "pipeline/SettingsKeys.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrela {
namespace {

std::string envOr(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string();
}

std::string homeDirectory() {
    std::string home = envOr("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

std::string xdgDir(const char* override, const char* xdgVar, const char* homeRelative) {
    if (std::string v = envOr(override); !v.empty()) return v;
    if (std::string v = envOr(xdgVar); !v.empty() && v.front() == '/') return v + "/ostrela";
    std::string home = homeDirectory();
    if (home.empty()) return {};
    return home + "/" + homeRelative + "/ostrela";
}

}  // namespace

bool ensureDirectory(const std::string& dir, unsigned mode) {
    if (dir.empty()) return false;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !ensureDirectory(dir.substr(0, slash), 0755)) return false;
    if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return false;
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string configDirectory() { return xdgDir("OSTRELA_CONFIG_DIR", "XDG_CONFIG_HOME", ".config"); }

std::string dataDirectory() { return xdgDir("OSTRELA_DATA_DIR", "XDG_DATA_HOME", ".local/share"); }

std::string containerDirectoryPath() {
    if (std::string v = envOr("OSTRELA_CONTAINER_DIR"); !v.empty()) return v;
    std::string data = dataDirectory();
    return data.empty() ? std::string() : data + "/" + kSuiteName;
}

std::string containerDirectory() {
    std::string dir = containerDirectoryPath();
    if (!ensureDirectory(dir, 0700)) return {};
    // The container holds the live picture: keep it private even if it pre-existed.
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && st.st_uid == getuid() && (st.st_mode & 0777) != 0700)
        ::chmod(dir.c_str(), 0700);
    if (::access(dir.c_str(), R_OK | W_OK | X_OK) != 0) return {};
    return dir;
}

}  // namespace ostrela
