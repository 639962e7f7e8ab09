// Places of the user's that nobody else can change: the per-user cache, the working directory,
// the log file. Every one is judged before anything is written into it, and the directories
// the installer makes there are made one step at a time from the one above (openat, mkdirat),
// so that a symbolic link planted on the way is refused, never followed.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>

namespace bi::platform {

enum class Missing { Refuse, Create };

// Judges `base`, a directory that the installer did not make (the home directory, /tmp,
// TMPDIR): every directory on its real path must be owned by the user or by root and
// writable by nobody else, unless it is a sticky directory of root's such as /tmp. Then each
// directory of `ours` (a relative path, "a/b"; "" for none) below base must be a directory,
// not a link, that the user owns and nobody else can write; a missing one is made (mode 0700)
// or refused, as `missing` says. Nothing is made until every directory that exists has passed.
// nullopt when all holds, else why not, naming the directory at fault.
std::optional<std::string> privateDirRefusal(const std::string& base, const std::string& ours, Missing missing);

// The same judgement, and the last directory of `ours` (or base) opened for openat and the
// like (O_RDONLY | O_DIRECTORY, close-on-exec): its descriptor, or -1 with the refusal in *why.
int openPrivateDir(const std::string& base, const std::string& ours, Missing missing, std::string* why);

// Whether st is a directory of this user's that only this user can change.
bool isPrivateDir(const struct stat& st);

}  // namespace bi::platform
