// A private view of /etc and /dev for one test process and the programs it
// starts, so that tests can supply fixed system paths (a configuration file
// under /etc, the syslog socket /dev/log) without touching the host's; and
// a private network, so that fixed loopback ports meet no other test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Moves this process into a mount namespace of its own in which /etc and /dev
// are overlays of the host's: what is written there lives in a temporary
// directory and is seen only by this process and the children it starts
// afterwards. Needs root; call it once, while the process has one thread.
// False with a reason in *err when the namespace cannot be made.
bool enter_private_mounts(std::string* err);

// Moves this process into a network namespace of its own with its loopback
// up: 127.0.0.1 and its ports belong to this test process and the programs
// it starts afterwards. Needs root; call it once per process, before any
// child starts. False with a reason in *err when it cannot be made.
bool enter_private_network(std::string* err);

// For a whole-program test: a network and mounts of its own, and on them
// none of the host's settings for the terminals (/etc/boat/terminal.conf),
// so a board's or developer's file never steers a test. Needs root.
bool enter_private_host(std::string* err);

// A file at a fixed path under the private /etc (enter_private_mounts
// first), with its folder; removed again when the object goes, so the next
// test of the same process does not find it.
class EtcFile {
public:
    EtcFile(const std::string& path, const std::string& text, unsigned mode = 0640);
    ~EtcFile();
    EtcFile(const EtcFile&) = delete;
    EtcFile& operator=(const EtcFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A syslog daemon's socket: a unix datagram socket bound at `path`
// (normally /dev/log, inside the private mounts), which decodes each
// datagram that syslog(3) sends.
class SyslogSink {
public:
    struct Message {
        int priority = -1;  // facility * 8 + level
        std::string ident;  // the syslog identity (program name by default)
        std::string text;   // the message exactly as formatted
        std::string raw;
    };

    explicit SyslogSink(const std::string& path = "/dev/log");
    ~SyslogSink();
    SyslogSink(const SyslogSink&) = delete;
    SyslogSink& operator=(const SyslogSink&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

    // The next message, waiting at most timeout_ms. False when none came.
    bool next(Message* m, int timeout_ms);
    // Every message that arrives until none has come for quiet_ms.
    std::vector<Message> drain(int quiet_ms);

private:
    std::string path_;
    std::string error_;
    int fd_ = -1;
};

// For a whole test program: enters the private mounts once and listens on
// their /dev/log. Register it with ::testing::AddGlobalTestEnvironment.
class PrivateSyslogEnvironment : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;
    // The sink of the registered environment; null outside it.
    static SyslogSink* sink();

private:
    std::unique_ptr<SyslogSink> sink_;
};

}  // namespace testsupport
