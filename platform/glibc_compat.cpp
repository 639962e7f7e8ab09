// What the binaries call, or the static C++ runtime and libsodium inside them call, that
// glibc 2.17 does not have: the link against stubs of glibc 2.17 (cmake/glibc-stubs) leaves
// these names to us. Linked into the installer, its plug-in and the verify tool, hidden, so
// that the static linker binds those calls here. Each is built on interfaces that glibc 2.17
// already had, or on the system call itself.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#define BI_HIDDEN __attribute__((visibility("hidden")))

// The old entry points of the stat family, which every glibc keeps; the version of struct
// stat they are asked for differs per architecture.
#if defined(__x86_64__)
#define BI_STAT_VERSION 1
#elif defined(__aarch64__)
#define BI_STAT_VERSION 0
#else
#error "the stat version of this architecture is not known here"
#endif

// glibc's own names, reserved to it, down to __explicit_bzero_chk.
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
int __xstat(int version, const char* path, struct stat* buffer);
int __lxstat(int version, const char* path, struct stat* buffer);
int __fxstat(int version, int fd, struct stat* buffer);
int __xstat64(int version, const char* path, struct stat64* buffer);
int __lxstat64(int version, const char* path, struct stat64* buffer);
int __fxstat64(int version, int fd, struct stat64* buffer);
[[noreturn]] void __chk_fail();
}

// Functions since 2.33: stat, fstat and lstat were inline calls of the entry points above.
extern "C" BI_HIDDEN int stat(const char* path, struct stat* buffer) noexcept {
    return __xstat(BI_STAT_VERSION, path, buffer);
}
extern "C" BI_HIDDEN int lstat(const char* path, struct stat* buffer) noexcept {
    return __lxstat(BI_STAT_VERSION, path, buffer);
}
extern "C" BI_HIDDEN int fstat(int fd, struct stat* buffer) noexcept { return __fxstat(BI_STAT_VERSION, fd, buffer); }
extern "C" BI_HIDDEN int stat64(const char* path, struct stat64* buffer) noexcept {
    return __xstat64(BI_STAT_VERSION, path, buffer);
}
extern "C" BI_HIDDEN int lstat64(const char* path, struct stat64* buffer) noexcept {
    return __lxstat64(BI_STAT_VERSION, path, buffer);
}
extern "C" BI_HIDDEN int fstat64(int fd, struct stat64* buffer) noexcept {
    return __fxstat64(BI_STAT_VERSION, fd, buffer);
}

// 2.32: libstdc++ skips its atomic reference counts while this says the process has one
// thread; zero keeps them, which is always right.
extern "C" {
BI_HIDDEN char __libc_single_threaded = 0;
}

// 2.30.
extern "C" BI_HIDDEN pid_t gettid() noexcept { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// 2.25: libsodium's and our own source of randomness. A kernel before 3.17 says ENOSYS, and
// both then read /dev/urandom.
extern "C" BI_HIDDEN ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    return static_cast<ssize_t>(::syscall(SYS_getrandom, buffer, length, flags));
}

// 2.25: what libsodium's sodium_memzero calls when it was built fortified.
extern "C" BI_HIDDEN void __explicit_bzero_chk(void* buffer, size_t length, size_t bufferLength) noexcept {
    if (bufferLength < length) __chk_fail();
    std::memset(buffer, 0, length);
    // The stores stay: the compiler must assume the buffer is read here.
    asm volatile("" : : "r"(buffer) : "memory");
}
// NOLINTEND(bugprone-reserved-identifier)

// 2.30: what std::condition_variable's waits with a steady deadline call. A wait on the wall
// clock for the time that is left: a jump of the wall clock makes it end early or late, and
// the callers check the time again when it ends.
extern "C" BI_HIDDEN int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                                const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return ::pthread_cond_timedwait(cond, mutex, deadline);
    if (clock != CLOCK_MONOTONIC) return EINVAL;
    constexpr int64_t kNano = 1'000'000'000;
    timespec now{}, wall{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const int64_t left = (deadline->tv_sec - now.tv_sec) * kNano + (deadline->tv_nsec - now.tv_nsec);
    if (left <= 0) return ETIMEDOUT;
    const int64_t at = wall.tv_nsec + left % kNano;
    timespec wallDeadline{};
    wallDeadline.tv_sec = wall.tv_sec + static_cast<time_t>(left / kNano + at / kNano);
    wallDeadline.tv_nsec = static_cast<long>(at % kNano);
    return ::pthread_cond_timedwait(cond, mutex, &wallDeadline);
}

// 2.35: the unwinder's way to the frames of an address.
#if __GLIBC_PREREQ(2, 35)
#if DLFO_STRUCT_HAS_EH_DBASE || DLFO_STRUCT_HAS_EH_COUNT
#error "this _dl_find_object fills in only the fields of x86-64 and aarch64"
#endif

namespace {

struct Search {
    uintptr_t address;
    dl_find_object* result;
};

// The object whose loaded segments span the address, as the loader records it: from the page
// of its first segment to the end of its last.
int matchObject(dl_phdr_info* info, size_t, void* data) {
    auto& search = *static_cast<Search*>(data);
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    uintptr_t start = UINTPTR_MAX, end = 0, ehFrame = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const uintptr_t at = info->dlpi_addr + ph.p_vaddr;
        if (ph.p_type == PT_LOAD) {
            start = std::min(start, at & ~(page - 1));
            end = std::max(end, at + ph.p_memsz);
        } else if (ph.p_type == PT_GNU_EH_FRAME) {
            ehFrame = at;
        }
    }
    if (search.address < start || search.address >= end) return 0;
    search.result->dlfo_flags = 0;
    search.result->dlfo_map_start = reinterpret_cast<void*>(start);
    search.result->dlfo_map_end = reinterpret_cast<void*>(end);
    search.result->dlfo_eh_frame = reinterpret_cast<void*>(ehFrame);
    return 1;
}

}  // namespace

extern "C" BI_HIDDEN int _dl_find_object(void* address, dl_find_object* result) noexcept {
    Search search{reinterpret_cast<uintptr_t>(address), result};
    if (::dl_iterate_phdr(matchObject, &search) == 0) return -1;
    // Outside the loader's lock, which dl_iterate_phdr holds while it calls back.
    Dl_info info;
    void* map = nullptr;
    const bool named = ::dladdr1(address, &info, &map, RTLD_DL_LINKMAP) != 0;
    result->dlfo_link_map = named ? static_cast<link_map*>(map) : nullptr;
    return 0;
}
#endif

// 2.36: libstdc++'s std::random_device.
#if __GLIBC_PREREQ(2, 36)
namespace {

bool fill(void* buffer, size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::getrandom(bytes + got, size - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got == size) return true;
    // Kernels before 3.17 have no getrandom.
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    while (got < size) {
        const ssize_t n = ::read(fd, bytes + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return got == size;
}

}  // namespace

// Like glibc's: it cannot fail, so without any source of randomness the process ends.
extern "C" BI_HIDDEN uint32_t arc4random() noexcept {
    const int saved = errno;
    uint32_t value = 0;
    if (!fill(&value, sizeof value)) std::abort();
    errno = saved;
    return value;
}
#endif
