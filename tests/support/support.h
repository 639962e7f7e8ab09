// Helpers shared by the tests and the benchmarks: scratch directories, files, archives made
// with the real zip, and running a program as a process with its output captured.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bi {

// The test name of a table's row: its `name`, each character that is not a letter or digit made "_".
struct RowName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
        std::string name = info.param.name;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    }
};

// A row prints as its name, in test listings and failures.
template <class Row>
requires requires(const Row& row) { row.name; }
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

namespace testsupport {

// A scratch directory under the system's temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& content, int mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
void makeDirs(const std::string& path);
// Removes a tree, opening up read-only directories first.
void removeTree(const std::string& path);
// Names in a directory, "." and ".." left out; empty when it cannot be listed.
std::vector<std::string> listDir(const std::string& path);

// Zips the files (name -> content) into archive with the real zip tool; names may hold "/".
void makeZip(const std::string& archive, const std::map<std::string, std::string>& files);

// A self-signed certificate for 127.0.0.1, dir/cert.pem with its key dir/key.pem, made by openssl.
void makeCertificate(const std::string& dir);

// An agent's "install" script: it records the arguments it received, each followed by a NUL,
// into the file named by $AGENT_RECORD, its own path into $AGENT_SELF and a line into
// $AGENT_RUNS, the signals it ignores into $AGENT_SIGNALS and its open descriptors (ls -l)
// into $AGENT_FDS when those are set, then exits with $AGENT_EXIT (default 0).
std::string recordingAgentScript();
// Splits a record of the recording agent back into its arguments.
std::vector<std::string> splitRecord(const std::string& record);

// A bundle <parent>/<name>/Contents/{MacOS,Resources} made by scripts/make-bundle, with a
// copy of the installer (and its window plug-in, when built) and a "bundle.zip".
struct Bundle {
    std::string root;        // <parent>/<name>
    std::string executable;  // <root>/Contents/MacOS/setup
    std::string resources;   // <root>/Contents/Resources
};
Bundle makeBundle(const std::string& installer, const std::string& parent, const std::string& name = "Setup.app");

struct ProcessResult {
    int exitStatus = -1;  // the exit status, or 128 + signal when killed by one
    std::string out;
    std::string err;
    bool timedOut = false;
    std::string tty;               // what the process wrote to its terminal (ProcessOptions::terminal)
    double seconds = 0;            // from its start to its end
    double firstLineSeconds = -1;  // from its start to the first line on standard output
    long maxRssKiB = 0;            // ru_maxrss: its peak, or a larger one of a child it waited for
};

struct ProcessOptions {
    std::map<std::string, std::optional<std::string>> env;  // nullopt unsets a variable
    std::chrono::milliseconds timeout{60000};
    std::function<void(pid_t)> onStart;  // called with the child's pid, on a thread of its own
    // Standard input is a new pseudo-terminal that is the process's controlling terminal, in
    // a session of its own; nobody types on it. What is written to it lands in ProcessResult::tty.
    bool terminal = false;
    unsigned short terminalColumns = 0;  // with terminal: its width, and standard error goes to it too
    std::string cwd;                     // the working directory; "" for the caller's
    // With it, the process is traced and this is called at its exit, its memory still whole
    // (/proc/PID/status then shows its own peak, its children's left out).
    std::function<void(pid_t)> atExit;
};

// Runs argv[0] (a path) with argv, the current environment changed by options.env, standard
// input empty. It gets SIGTERM should the calling thread end first.
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// A server program run in the background for a test, its output discarded, ended (SIGTERM)
// with the object or with the test process. ready() is polled for up to 10 s after it starts.
class Daemon {
public:
    Daemon(const std::vector<std::string>& argv, const std::function<bool()>& ready,
           const std::map<std::string, std::string>& env = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace testsupport

}  // namespace bi
