#include "host/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "platform/bundle.h"

namespace fs = std::filesystem;

TempDir::TempDir(std::string /*name*/) {
    const std::string base = platform::temporaryDirectory().value_or("/tmp");
    std::string tmpl = platform::appendPathComponent(base, "qvXXXXXX");
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) != nullptr) dir_ = buf.data();
}

TempDir::~TempDir() {
    if (!dir_.empty()) removeTree(dir_);
}

bool removeTree(const std::string& path) {
    std::error_code ec;
    // An agent may leave directories without write or search permission; their owner may
    // open them up again, which lets remove_all empty them.
    const auto st = fs::symlink_status(path, ec);
    if (ec) return !fs::exists(st);
    if (fs::is_directory(st)) {
        ::chmod(path.c_str(), S_IRWXU);
        for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) removeTree(it->path().string());
        }
    }
    ec.clear();
    fs::remove_all(path, ec);
    return !ec && !fs::exists(fs::symlink_status(path, ec));
}
