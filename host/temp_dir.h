#pragma once

#include <string>

namespace bi {

// Owns a fresh directory "qvXXXXXX" (mode 0700) for its whole life and removes it with
// everything in it when it goes. It lies under TMPDIR when that is a place only the user can
// change and the directory can be made there (said in the log when not), else under /tmp. When
// it can be made in neither, getDir() is empty, refusal() says why, and the destructor touches
// nothing. Removal is best effort: what
// cannot be removed stays, silently. An abrupt end of the process leaves the directory; it
// holds a lock of its maker's, so that a later one removes it once its maker is gone and
// nothing but the lock is left in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string getDir() const { return dir_; }
    const std::string& refusal() const { return refusal_; }

private:
    std::string dir_;
    std::string refusal_;
    int lockFd_ = -1;
};

// Removes a file or a directory tree without following symbolic links; directories that the
// owner made unwritable or unreadable are opened up first. Returns whether nothing is left.
bool removeTree(const std::string& path);

}  // namespace bi
