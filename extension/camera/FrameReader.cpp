#include "extension/camera/FrameReader.h"

#include "pipeline/Paths.h"

#include <csetjmp>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>

namespace ostrela::camera {
namespace {

// A mapping whose file shrank raises SIGBUS on access; the copy below turns that into a failed read.
thread_local sigjmp_buf* tGuard = nullptr;
struct sigaction gPrevious {};

void onSigbus(int sig, siginfo_t* info, void* ctx) {
    if (tGuard) siglongjmp(*tGuard, 1);
    // Not ours: behave as before we were installed.
    if (gPrevious.sa_flags & SA_SIGINFO) {
        if (gPrevious.sa_sigaction) return gPrevious.sa_sigaction(sig, info, ctx);
    } else if (gPrevious.sa_handler != SIG_IGN && gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler) {
        return gPrevious.sa_handler(sig);
    }
    signal(SIGBUS, SIG_DFL);
    raise(SIGBUS);
}

void installSigbusGuard() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa {};
        sa.sa_sigaction = onSigbus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &gPrevious);
    });
}

bool guardedCopy(uint8_t* dst, const uint8_t* src, size_t n) {
    sigjmp_buf env;
    if (sigsetjmp(env, 1) != 0) {
        tGuard = nullptr;
        return false;
    }
    tGuard = &env;
    std::memcpy(dst, src, n);
    tGuard = nullptr;
    return true;
}

}  // namespace

FrameReader::FrameReader() { installSigbusGuard(); }

FrameReader::~FrameReader() { detach(); }

void FrameReader::detach() {
    if (map_) ::munmap(const_cast<uint8_t*>(map_), kFrameBytes);
    map_ = nullptr;
    dev_ = ino_ = 0;
}

std::optional<FrameState> FrameReader::state() const { return readFrameState(); }

bool FrameReader::attachIfNeeded() {
    std::string dir = containerDirectoryPath();
    if (dir.empty()) return false;
    struct stat st {};
    if (::stat((dir + "/" + kFrameFileName).c_str(), &st) != 0) {
        detach();
        return false;
    }
    if (size_t(st.st_size) < kFrameBytes) return false;  // being recreated; try again next frame
    if (map_ && uint64_t(st.st_dev) == dev_ && uint64_t(st.st_ino) == ino_) return true;
    detach();
    map_ = openFrameBuffer(false);
    if (!map_) return false;
    dev_ = uint64_t(st.st_dev);
    ino_ = uint64_t(st.st_ino);
    return true;
}

bool FrameReader::copyFrame(uint8_t* dst) {
    if (!attachIfNeeded()) return false;
    if (guardedCopy(dst, map_, kFrameBytes)) return true;
    detach();
    return false;
}

}  // namespace ostrela::camera
