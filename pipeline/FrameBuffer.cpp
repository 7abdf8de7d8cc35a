#include "pipeline/FrameBuffer.h"

#include "pipeline/Paths.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace ostrela {

std::array<uint8_t, kFrameStateBytes> encodeFrameState(const FrameState& state) {
    std::array<uint8_t, kFrameStateBytes> out{};
    uint64_t bits = 0;
    static_assert(sizeof(double) == 8);
    std::memcpy(&bits, &state.timestamp, 8);
    for (int i = 0; i < 8; ++i) {
        out[size_t(i)] = uint8_t(state.generation >> (8 * i));
        out[size_t(8 + i)] = uint8_t(bits >> (8 * i));
    }
    return out;
}

FrameState decodeFrameState(const uint8_t* bytes) {
    FrameState s;
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) {
        s.generation = (s.generation << 8) | bytes[i];
        bits = (bits << 8) | bytes[8 + i];
    }
    std::memcpy(&s.timestamp, &bits, 8);
    return s;
}

double wallClockSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

uint8_t* openFrameBuffer(bool create) {
    std::string dir = create ? containerDirectory() : containerDirectoryPath();
    if (dir.empty()) return nullptr;
    std::string path = dir + "/" + kFrameFileName;
    int fd = create ? ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                    : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (create) {
        (void)::ftruncate(fd, off_t(kFrameBytes));
    }
    void* p = ::mmap(nullptr, kFrameBytes, create ? (PROT_READ | PROT_WRITE) : PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

bool writeFrameState(const FrameState& state) {
    std::string dir = containerDirectory();
    if (dir.empty()) return false;
    auto bytes = encodeFrameState(state);
    std::string path = dir + "/" + kFrameStateFileName;
    std::string tmp = dir + "/." + kFrameStateFileName + "." + std::to_string(getpid());
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ssize_t n;
    do { n = ::write(fd, bytes.data(), bytes.size()); } while (n < 0 && errno == EINTR);
    bool ok = n == ssize_t(bytes.size());
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

void writeFrameState(uint64_t generation) { (void)writeFrameState(FrameState{generation, wallClockSeconds()}); }

std::optional<FrameState> readFrameState() {
    std::string dir = containerDirectoryPath();
    if (dir.empty()) return std::nullopt;
    int fd = ::open((dir + "/" + kFrameStateFileName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    uint8_t buf[kFrameStateBytes + 1];
    ssize_t n;
    do { n = ::read(fd, buf, sizeof buf); } while (n < 0 && errno == EINTR);
    ::close(fd);
    // The file is only ever replaced whole, so anything but 16 bytes is not ours.
    if (n != ssize_t(kFrameStateBytes)) return std::nullopt;
    return decodeFrameState(buf);
}

}  // namespace ostrela
