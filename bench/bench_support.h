// What the benchmarks share: a scratch directory that goes whatever the end, a private nginx
// on 127.0.0.1, incompressible files, and child processes timed, traced or read.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bi {

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr uint64_t kMiB = 1 << 20;

// A fresh directory under TMPDIR (or /tmp), removed at exit and on SIGINT, SIGTERM or SIGHUP,
// after the nginx of startNginx is stopped.
fs::path makeScratch(const char* name);

// Fills path with `size` bytes that no layer between server and file could shrink.
void writeRandomFile(const fs::path& path, uint64_t size, uint64_t seed = 1);

struct Nginx {
    int port = 0;
    fs::path accessLog;  // lines "STATUS BODY_BYTES_SENT REQUEST_TIME "REQUEST""
    std::string url(const std::string& file) const { return "http://127.0.0.1:" + std::to_string(port) + "/" + file; }
};
// Starts nginx serving root; it is stopped by the scratch directory's clean-up or stopNginx.
Nginx startNginx(const fs::path& root, const fs::path& dir);
void stopNginx();

struct LogLine {
    int status = 0;
    uint64_t bodyBytes = 0;
    double requestSeconds = 0;
    std::string request;
};
// The access log's lines after the first `skip` bytes.
std::vector<LogLine> readAccessLog(const fs::path& log, uintmax_t skip = 0);

using Env = std::map<std::string, std::optional<std::string>>;  // nullopt unsets

struct ChildOptions {
    Env env;
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
    bool traceExit = false;      // stop the child at its exit to read its own peak memory
    bool timeFirstLine = false;  // read its standard output and time the first line
    bool readStderr = false;     // read its standard error, each line with its time
    int watchFd = -1;            // with the above: an fd watched while the child runs (inotify)
    std::function<bool(int)> watchHit;  // reads watchFd when ready; true times the event
    std::function<void(pid_t)> whileRunning;  // on a thread of its own, with the child's pid
    bool mayFail = false;                     // a status other than 0 does not end the benchmark
};

struct TimedLine {
    double seconds;  // from fork
    std::string text;
};

struct ChildResult {
    int status = -1;              // exit status, or 128 + signal
    double seconds = 0;           // from fork to the child's end
    double firstLineSeconds = -1; // from fork to the first line on standard output
    long maxRssKiB = 0;           // ru_maxrss of wait4: the child and the children it reaped
    long hwmKiB = -1;             // VmHWM of the child itself, read at its exit (traceExit)
    long anonKiB = -1, fileKiB = -1;  // its RssAnon and RssFile then
    std::vector<TimedLine> stderrLines;  // readStderr
    double watchSeconds = -1;            // from fork to the first event that watchHit took

    // The number that follows text on the first line of standard error that holds it.
    std::optional<double> stderrNumberAfter(const std::string& text) const;
};

// Runs argv (argv[0] a path) to its end; exits the benchmark if it fails.
ChildResult runChild(const std::vector<std::string>& argv, const ChildOptions& options = {});

double median(std::vector<double> values);
double maxOf(const std::vector<double>& values);

// CPU model, cores, memory and kernel, one line.
std::string machine();

// Bytes free in the file system that holds path.
uint64_t freeBytes(const fs::path& path);

}  // namespace bench

}  // namespace bi
