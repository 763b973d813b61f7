// Child processes for whole-program tests: started with their own
// environment, working directory and output files; every wait is bounded.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessOptions {
    std::vector<std::string> argv;       // argv[0] is the program path; this build's
                                         // programs (also behind a wrapper such as
                                         // setpriv) run through the emulator in a
                                         // cross build
    std::vector<std::string> env;        // KEY=VALUE added to (or replacing) the parent's
    std::string cwd;                     // empty: the parent's
    std::string stdout_path;             // empty: /dev/null
    std::string stderr_path;             // empty: /dev/null
    std::string stdin_path;              // empty: /dev/null
};

class Process {
public:
    Process() = default;
    explicit Process(const ProcessOptions& opts);  // starts it; pid() < 0 when fork failed
    ~Process();                                      // SIGKILLs and reaps a child still running
    Process(Process&& o) noexcept;
    Process& operator=(Process&& o) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    // Waits at most timeout_ms for the child to end. True when it ended;
    // then exit_status() / term_signal() tell how.
    bool wait_exit(int timeout_ms);
    // SIGTERM, then SIGKILL after grace_ms; always reaps.
    void stop(int grace_ms = 2000);
    int exit_status() const { return exit_status_; }  // -1 unless it exited
    int term_signal() const { return term_signal_; }  // 0 unless a signal ended it

private:
    void reap(int status);
    void kill_if_running();
    pid_t pid_ = -1;
    int exit_status_ = -1;
    int term_signal_ = 0;
};

// Polls pred every poll_ms until it holds or timeout_ms has passed.
bool wait_until(const std::function<bool()>& pred, int timeout_ms, int poll_ms = 10);

std::string read_file(const std::string& path);
// The value of one line of /proc/PID/status ("Uid", "Groups", "CapEff"),
// blanks around it removed; "?" when there is no such line.
std::string status_line(pid_t pid, const std::string& key);
void write_file(const std::string& path, const std::string& text);

// A fresh directory under the temporary directory, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Path of a program built in this tree, e.g. bin("checkin/boat_checkin").
std::string bin(const std::string& relative);

// Path of a peer program that tests talk to rather than test, e.g.
// peer_bin("sim/checkin-server"): a cross build takes it from a build for
// the host (BOAT_PEER_BIN_DIR), so the peer runs natively.
std::string peer_bin(const std::string& relative);

// This tree and the board builds beside the test build, as configured.
// Compiled into this library only, so that every other object of the tests
// is the same in any clone (and a compiler cache serves them).
std::string source_path(const std::string& relative);
std::string rpi_bin_dir();    // empty when configured without the libbcm2835 build
std::string linux_bin_dir();  // empty when configured without the kernel-device build

// A TCP port on 127.0.0.1 accepts connections.
bool port_open(int port);

}  // namespace testsupport
