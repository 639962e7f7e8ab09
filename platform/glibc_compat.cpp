// Two functions that the statically linked C++ runtime calls and that glibc gained only after
// 2.34: the unwinder's _dl_find_object (2.35) and libstdc++'s arc4random (2.36). Linked into
// the installer and its plug-in, hidden, so that the static linker binds those calls here and
// the binaries start on glibc 2.34. Both are built on interfaces that glibc has long had.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#define BI_HIDDEN __attribute__((visibility("hidden")))

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
