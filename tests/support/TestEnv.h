#pragma once
// Gives each test its own configuration, data and container directories, so nothing touches a
// real home and no test sees another's files.
#include <QString>
#include <QTemporaryDir>

#include <string>

namespace ostrela::test {

class ScopedTestEnv {
public:
    ScopedTestEnv();
    ~ScopedTestEnv();
    ScopedTestEnv(const ScopedTestEnv&) = delete;
    ScopedTestEnv& operator=(const ScopedTestEnv&) = delete;

    std::string root() const;
    std::string configDir() const;
    std::string dataDir() const;
    std::string containerDir() const;

private:
    QTemporaryDir dir_;
};

// Reads a whole file; empty when missing.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// Path of a program built by this project.
std::string programPath(const char* name);
// Runs a shell command, returns its exit status and collects its standard output.
int runCommand(const std::string& command, std::string* output = nullptr);

}  // namespace ostrela::test
