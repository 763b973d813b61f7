#include "process.h"

#include "emulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

namespace {

void redirect(const std::string& path, int fd, int flags) {
    int f = open(path.empty() ? "/dev/null" : path.c_str(), flags, 0644);
    if (f >= 0) {
        dup2(f, fd);
        close(f);
    }
}

// The programs of this build and of the Pi build are for the target; a
// cross build has no binfmt_misc to run them, so they start through the
// emulator (its command is compiled in). Peers and system tools run as they
// are.
bool target_program(const std::string& path) {
    for (const std::string dir : {BOAT_BIN_DIR, BOAT_RPI_BIN_DIR})
        if (!dir.empty() && path.compare(0, dir.size() + 1, dir + "/") == 0) return true;
    return false;
}

// A program file, not a folder of this build given as an argument.
bool executable_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

Process::Process(const ProcessOptions& opts) {
    // Everything the child needs is prepared before fork: only
    // async-signal-safe calls run between fork and exec.
    std::vector<std::string> env_store;
    for (char** e = environ; *e; e++) {
        std::string kv(*e);
        std::string key = kv.substr(0, kv.find('='));
        bool replaced = false;
        for (const auto& o : opts.env)
            if (o.substr(0, o.find('=')) == key) replaced = true;
        if (!replaced) env_store.push_back(kv);
    }
    for (const auto& o : opts.env) env_store.push_back(o);
    std::vector<char*> envp;
    for (auto& s : env_store) envp.push_back(s.data());
    envp.push_back(nullptr);
    // A wrapper (setpriv, say) runs as it is and starts the target program
    // behind it: the emulator goes right before the first program of this
    // build, wherever it stands.
    std::vector<std::string> argv_store;
    bool emulated = false;
    for (size_t i = 0; i < opts.argv.size(); i++) {
        const std::string& a = opts.argv[i];
        if (!emulated && target_program(a) && (i == 0 || executable_file(a))) {
            for (const char* e : kEmulator) argv_store.push_back(e);
            emulated = true;
        }
        argv_store.push_back(a);
    }
    std::vector<char*> argv;
    for (auto& s : argv_store) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        setpgid(0, 0);
        redirect(opts.stdin_path, 0, O_RDONLY);
        redirect(opts.stdout_path, 1, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(opts.stderr_path, 2, O_WRONLY | O_CREAT | O_TRUNC);
        if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
}

Process::~Process() { kill_if_running(); }

void Process::kill_if_running() {
    if (pid_ > 0 && exit_status_ < 0 && term_signal_ == 0) {
        kill(pid_, SIGKILL);
        int st = 0;
        waitpid(pid_, &st, 0);
    }
}

Process::Process(Process&& o) noexcept { *this = std::move(o); }  // pid_ is -1 here

Process& Process::operator=(Process&& o) noexcept {
    if (this != &o) {
        kill_if_running();  // a child this object still holds would be lost
        pid_ = o.pid_;
        exit_status_ = o.exit_status_;
        term_signal_ = o.term_signal_;
        o.pid_ = -1;
    }
    return *this;
}

void Process::reap(int status) {
    if (WIFEXITED(status)) exit_status_ = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) term_signal_ = WTERMSIG(status);
}

bool Process::running() {
    if (pid_ <= 0 || exit_status_ >= 0 || term_signal_ != 0) return false;
    int st = 0;
    pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reap(st);
        return false;
    }
    return true;
}

bool Process::wait_exit(int timeout_ms) {
    return wait_until([this] { return !running(); }, timeout_ms, 5);
}

void Process::stop(int grace_ms) {
    if (!running()) return;
    kill(pid_, SIGTERM);
    if (wait_exit(grace_ms)) return;
    kill(pid_, SIGKILL);
    int st = 0;
    if (waitpid(pid_, &st, 0) == pid_) reap(st);
}

bool wait_until(const std::function<bool()>& pred, int timeout_ms, int poll_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string status_line(pid_t pid, const std::string& key) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key + ":", 0) == 0) {
            std::string v = line.substr(key.size() + 1);
            v.erase(0, v.find_first_not_of(" \t"));
            v.erase(v.find_last_not_of(" \t") + 1);
            return v;
        }
    return "?";
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/boattest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
    // Programs under test may drop to an unprivileged user and must still
    // reach their files here.
    chmod(path_.c_str(), 0777);
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) { /* best effort */ }
}

std::string bin(const std::string& relative) { return std::string(BOAT_BIN_DIR) + "/" + relative; }

std::string peer_bin(const std::string& relative) { return std::string(BOAT_PEER_BIN_DIR) + "/" + relative; }

std::string source_path(const std::string& relative) { return std::string(BOAT_SOURCE_DIR) + "/" + relative; }

std::string rpi_bin_dir() { return BOAT_RPI_BIN_DIR; }

std::string linux_bin_dir() { return BOAT_LINUX_BIN_DIR; }

bool port_open(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace testsupport
