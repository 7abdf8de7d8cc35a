#include "pipeline/FrameBuffer.h"

#include "pipeline/Paths.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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

namespace {

// One entry per live mapping of "frame.raw". The fault handler reads these, so they are atomics.
struct MappingSlot {
    std::atomic<uintptr_t> base{0};
    std::atomic<uint64_t> faults{0};
    std::atomic<bool> detached{false};
    // Touched outside the handler only.
    bool writable = false;
    uint64_t dev = 0, ino = 0;
};
// Mappings are never unmapped, so a process that opens many (a test run) keeps them all.
constexpr int kMappingSlots = 1024;
MappingSlot gSlots[kMappingSlots];
std::atomic<int> gSlotsUsed{0};
std::mutex gSlotsMutex;
struct sigaction gPreviousSigbus {};

MappingSlot* slotFor(const uint8_t* mapping) {
    const int used = gSlotsUsed.load();
    for (int i = 0; i < used; ++i)
        if (mapping && gSlots[i].base.load() == uintptr_t(mapping)) return &gSlots[i];
    return nullptr;
}

void onSigbus(int sig, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const auto address = uintptr_t(info->si_addr);
    const int used = gSlotsUsed.load();
    for (int i = 0; i < used; ++i) {
        MappingSlot& s = gSlots[i];
        const uintptr_t base = s.base.load(std::memory_order_relaxed);
        if (!base || address < base || address >= base + kFrameBytes) continue;
        // The file under this mapping shrank. Private zero pages in its place let the faulting
        // access (and every other one) complete; the next refresh maps the file again.
        void* p = ::mmap(reinterpret_cast<void*>(base), kFrameBytes, PROT_READ | PROT_WRITE,
                         MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) break;
        s.faults.fetch_add(1);
        s.detached.store(true);
        errno = savedErrno;
        return;
    }
    errno = savedErrno;
    // Not one of ours: do what would have happened without us.
    if (gPreviousSigbus.sa_flags & SA_SIGINFO) {
        if (gPreviousSigbus.sa_sigaction) return gPreviousSigbus.sa_sigaction(sig, info, context);
    } else if (gPreviousSigbus.sa_handler != SIG_IGN && gPreviousSigbus.sa_handler != SIG_DFL &&
               gPreviousSigbus.sa_handler) {
        return gPreviousSigbus.sa_handler(sig);
    }
    ::signal(SIGBUS, SIG_DFL);
    ::raise(SIGBUS);
}

void installSigbusHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onSigbus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER | SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &gPreviousSigbus);
    });
}

std::string frameFilePath(bool create) {
    std::string dir = create ? containerDirectory() : containerDirectoryPath();
    return dir.empty() ? std::string() : dir + "/" + kFrameFileName;
}

// Opens the file as the writer or the reader would and maps it, at `at` when given. Null on failure.
uint8_t* mapFrameFile(bool create, void* at, struct stat* st) {
    const std::string path = frameFilePath(create);
    if (path.empty()) return nullptr;
    int fd = create ? ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600) : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (create) (void)::ftruncate(fd, off_t(kFrameBytes));
    if (::fstat(fd, st) != 0 || (!create && size_t(st->st_size) < kFrameBytes)) {
        ::close(fd);
        return nullptr;
    }
    const int prot = create ? (PROT_READ | PROT_WRITE) : PROT_READ;
    void* p = ::mmap(at, kFrameBytes, prot, MAP_SHARED | (at ? MAP_FIXED : 0), fd, 0);
    ::close(fd);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

}  // namespace

uint8_t* openFrameBuffer(bool create) {
    installSigbusHandler();
    struct stat st {};
    uint8_t* p = mapFrameFile(create, nullptr, &st);
    if (!p) return nullptr;
    std::lock_guard lock(gSlotsMutex);
    const int used = gSlotsUsed.load();
    if (used == kMappingSlots) return p;  // more mappings than slots: served, without the guard
    MappingSlot& s = gSlots[used];
    s.writable = create;
    s.dev = uint64_t(st.st_dev);
    s.ino = uint64_t(st.st_ino);
    s.base.store(uintptr_t(p));
    gSlotsUsed.store(used + 1);
    return p;
}

bool refreshFrameBuffer(const uint8_t* mapping) {
    std::lock_guard lock(gSlotsMutex);
    MappingSlot* slot = slotFor(mapping);
    if (!slot) return mapping != nullptr;
    const std::string path = frameFilePath(slot->writable);
    struct stat st {};
    if (!path.empty() && ::stat(path.c_str(), &st) == 0 && !slot->detached.load() && uint64_t(st.st_dev) == slot->dev &&
        uint64_t(st.st_ino) == slot->ino &&
        (slot->writable ? size_t(st.st_size) == kFrameBytes : size_t(st.st_size) >= kFrameBytes))
        return true;
    // Cleared first: a fault during the remap leaves it set, and the next refresh tries again.
    slot->detached.store(false);
    void* at = const_cast<uint8_t*>(mapping);
    if (!mapFrameFile(slot->writable, at, &st)) {
        // MAP_FIXED may have dropped the old pages on failure: keep the range ours.
        ::mmap(at, kFrameBytes, PROT_READ | PROT_WRITE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        slot->detached.store(true);
        return false;
    }
    slot->dev = uint64_t(st.st_dev);
    slot->ino = uint64_t(st.st_ino);
    return true;
}

uint64_t frameBufferFaults(const uint8_t* mapping) {
    const MappingSlot* slot = slotFor(mapping);
    return slot ? slot->faults.load() : 0;
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
