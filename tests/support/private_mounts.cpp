#include "private_mounts.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

std::string errtext(const std::string& what) { return what + ": " + std::strerror(errno); }

// The overlays' upper directories; removed when the process ends.
struct Scratch {
    std::string dir;
    ~Scratch() {
        if (dir.empty()) return;
        umount2("/dev", MNT_DETACH);
        umount2("/etc", MNT_DETACH);
        std::string cmd = "rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0) { /* best effort */ }
    }
};

Scratch g_scratch;

bool overlay(const std::string& target, const std::string& base, std::string* err) {
    std::string up = base + "/up", work = base + "/work";
    if (mkdir(base.c_str(), 0755) != 0 || mkdir(up.c_str(), 0755) != 0 || mkdir(work.c_str(), 0755) != 0) {
        *err = errtext("mkdir " + base);
        return false;
    }
    std::string opts = "lowerdir=" + target + ",upperdir=" + up + ",workdir=" + work;
    if (mount("overlay", target.c_str(), "overlay", 0, opts.c_str()) != 0) {
        *err = errtext("overlay on " + target);
        return false;
    }
    return true;
}

}  // namespace

bool enter_private_mounts(std::string* err) {
    if (!g_scratch.dir.empty()) return true;
    if (unshare(CLONE_NEWNS) != 0) {
        *err = errtext("unshare(CLONE_NEWNS)");
        return false;
    }
    // Nothing mounted from here on may propagate back to the host.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *err = errtext("make / private");
        return false;
    }
    char tmpl[] = "/tmp/boatmounts.XXXXXX";
    if (!mkdtemp(tmpl)) {
        *err = errtext("mkdtemp");
        return false;
    }
    g_scratch.dir = tmpl;
    // The overlay on /dev hides the file systems mounted below it; keep
    // handles on them to mount them again on top.
    const char* submounts[] = {"/dev/pts", "/dev/shm"};
    int fds[2] = {-1, -1};
    for (int i = 0; i < 2; i++) fds[i] = open(submounts[i], O_PATH | O_DIRECTORY | O_CLOEXEC);
    bool ok = overlay("/etc", g_scratch.dir + "/etc", err) && overlay("/dev", g_scratch.dir + "/dev", err);
    for (int i = 0; i < 2; i++) {
        if (fds[i] < 0) continue;
        std::string from = "/proc/self/fd/" + std::to_string(fds[i]);
        if (ok && mount(from.c_str(), submounts[i], nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            *err = errtext(std::string("bind ") + submounts[i]);
            ok = false;
        }
        close(fds[i]);
    }
    return ok;
}

bool enter_private_network(std::string* err) {
    static bool entered = false;
    if (entered) return true;
    if (unshare(CLONE_NEWNET) != 0) {
        *err = errtext("unshare(CLONE_NEWNET)");
        return false;
    }
    // A new namespace has its loopback down; up, it has 127.0.0.1 and ::1.
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (!up) *err = errtext("bring lo up");
    if (fd >= 0) close(fd);
    entered = up;
    return up;
}

bool enter_private_host(std::string* err) {
    if (!enter_private_network(err) || !enter_private_mounts(err)) return false;
    if (unlink("/etc/boat/terminal.conf") != 0 && errno != ENOENT) {
        *err = errtext("remove the host's /etc/boat/terminal.conf");
        return false;
    }
    return true;
}

EtcFile::EtcFile(const std::string& path, const std::string& text, unsigned mode) : path_(path) {
    std::string folder = path_.substr(0, path_.rfind('/'));
    mkdir(folder.c_str(), 0755);
    unlink(path_.c_str());
    int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fchmod(fd, mode) == 0;
    if (fd >= 0) close(fd);
    EXPECT_TRUE(ok) << errtext("write " + path_);
}

EtcFile::~EtcFile() { unlink(path_.c_str()); }

SyslogSink::SyslogSink(const std::string& path) : path_(path) {
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a {};
    a.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.size() >= sizeof a.sun_path) {
        error_ = errtext("socket");
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        return;
    }
    std::memcpy(a.sun_path, path_.c_str(), path_.size() + 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error_ = errtext("bind " + path_);
        close(fd_);
        fd_ = -1;
        return;
    }
    // Programs that have dropped to an ordinary user log here too.
    chmod(path_.c_str(), 0666);
}

SyslogSink::~SyslogSink() {
    if (fd_ < 0) return;
    close(fd_);
    unlink(path_.c_str());
}

bool SyslogSink::next(Message* m, int timeout_ms) {
    if (fd_ < 0) return false;
    pollfd p {fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buf[8192];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return false;
    *m = Message {};
    m->raw.assign(buf, static_cast<size_t>(n));
    // "<PRI>Mmm dd hh:mm:ss IDENT: TEXT", as syslog(3) formats it.
    const std::string& r = m->raw;
    size_t gt = r.find('>');
    if (r.empty() || r[0] != '<' || gt == std::string::npos) return true;
    m->priority = std::atoi(r.substr(1, gt - 1).c_str());
    const size_t stamp = 16;  // "Dec  7 07:05:01 "
    size_t ident_at = gt + 1 + stamp;
    size_t colon = r.find(": ", ident_at);
    if (ident_at > r.size() || colon == std::string::npos) return true;
    m->ident = r.substr(ident_at, colon - ident_at);
    m->text = r.substr(colon + 2);
    return true;
}

std::vector<SyslogSink::Message> SyslogSink::drain(int quiet_ms) {
    std::vector<Message> out;
    Message m;
    while (next(&m, quiet_ms)) out.push_back(m);
    return out;
}

namespace {
SyslogSink* g_environment_sink = nullptr;
}

void PrivateSyslogEnvironment::SetUp() {
    std::string err;
    ASSERT_TRUE(enter_private_mounts(&err)) << err;
    sink_ = std::make_unique<SyslogSink>();
    ASSERT_TRUE(sink_->ok()) << sink_->error();
    g_environment_sink = sink_.get();
}

void PrivateSyslogEnvironment::TearDown() {
    g_environment_sink = nullptr;
    sink_.reset();
}

SyslogSink* PrivateSyslogEnvironment::sink() { return g_environment_sink; }

}  // namespace testsupport
