#include "tests/support/TestEnv.h"

#include "pipeline/Settings.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace ostrela::test {

ScopedTestEnv::ScopedTestEnv() {
    setenv("OSTRELA_CONFIG_DIR", configDir().c_str(), 1);
    setenv("OSTRELA_DATA_DIR", dataDir().c_str(), 1);
    setenv("OSTRELA_CONTAINER_DIR", containerDir().c_str(), 1);
    SettingsStore::resetForTesting();
}

ScopedTestEnv::~ScopedTestEnv() {
    unsetenv("OSTRELA_CONFIG_DIR");
    unsetenv("OSTRELA_DATA_DIR");
    unsetenv("OSTRELA_CONTAINER_DIR");
    SettingsStore::resetForTesting();
}

std::string ScopedTestEnv::root() const { return dir_.path().toStdString(); }
std::string ScopedTestEnv::configDir() const { return root() + "/config"; }
std::string ScopedTestEnv::dataDir() const { return root() + "/data"; }
std::string ScopedTestEnv::containerDir() const { return root() + "/container"; }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string programPath(const char* name) { return std::string(OSTRELA_BINARY_DIR) + "/" + name; }

int runCommand(const std::string& command, std::string* output) {
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace ostrela::test
