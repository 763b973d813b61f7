// The configuration reader against real files, with its syslog lines read
// from a private /dev/log.
#include "config.h"
#include "private_mounts.h"
#include "process.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

using testsupport::SyslogSink;
using testsupport::TempDir;

namespace {

SyslogSink* syslog_sink() { return testsupport::PrivateSyslogEnvironment::sink(); }

constexpr int kPrioInfo = LOG_DAEMON | LOG_INFO;  // 30
constexpr int kPrioErr = LOG_DAEMON | LOG_ERR;    // 27

class Config : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(syslog_sink(), nullptr);
        syslog_sink()->drain(0);
    }
    void TearDown() override { close_config_file(); }

    void open(const std::string& text) {
        testsupport::write_file(path_, text);
        ASSERT_EQ(open_config_file(path_.c_str()), 0);
    }

    // Looks `key` up into a buffer filled with 'X' beforehand.
    std::string lookup(const char* key, int* rc, int log = 0) {
        char dest[255];
        std::memset(dest, 'X', sizeof dest);
        *rc = find_config_param(key, dest, 254, log);
        dest[254] = '\0';
        return *rc == 1 ? std::string(dest) : std::string();
    }

    // The next syslog message, which must arrive.
    SyslogSink::Message message() {
        SyslogSink::Message m;
        EXPECT_TRUE(syslog_sink()->next(&m, 5000)) << "no syslog message";
        return m;
    }

    TempDir dir_;
    std::string path_ = dir_.file("RC522.conf");
};

// Runs fn in a child process (so that identity changes stay there) and
// returns what it reports.
std::string in_child(const std::function<std::string()>& fn) {
    int p[2];
    if (pipe(p) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        std::string out = fn();
        if (write(p[1], out.data(), out.size()) < 0) { /* parent sees nothing */ }
        _exit(0);
    }
    close(p[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(p[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    return out;
}

std::string identity_after_read(uid_t start_uid, bool with_groups = false) {
    uid_t uid = start_uid;
    int rc = read_conf_uid(&uid);
    std::string out = "rc=" + std::to_string(rc) + " uid=" + std::to_string(uid) + " gid=" + std::to_string(getgid()) +
                      " egid=" + std::to_string(getegid());
    if (with_groups) out += " groups=" + std::to_string(getgroups(0, nullptr));
    return out;
}

// Clears one capability from this process's effective set.
bool drop_effective_capability(int cap) {
    __user_cap_header_struct hdr {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &hdr, data) != 0) return false;
    data[cap / 32].effective &= ~(1u << (cap % 32));
    return syscall(SYS_capset, &hdr, data) == 0;
}

TEST_F(Config, CommentsCutLinesAndHideKeys) {
    open("# UID=500\n"
         "GPIO=17 # signal pin, UID=600\n");
    int rc;
    EXPECT_EQ(lookup("UID=", &rc), "");
    EXPECT_EQ(rc, 0) << "a key behind # is a comment";
    EXPECT_EQ(lookup("GPIO=", &rc), "17");
    EXPECT_EQ(rc, 1);
}

TEST_F(Config, KeyIsPlainSubstringWithoutSpaceBeforeEquals) {
    open("SPI_SPEED = 5000\n"
         "MYGPIO=12\n");
    int rc;
    EXPECT_EQ(lookup("GPIO=", &rc), "12");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(lookup("SPI_SPEED=", &rc), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lookup("gpio=", &rc), "");
    EXPECT_EQ(rc, 0) << "keys are case-sensitive";
}

TEST_F(Config, ValueIsTrimmedButInnerBlanksStay) {
    open("GPIO= \t 27 \t\r\n"
         "NAME=  two  words \r\n"
         "LAST=7");  // no line end at the end of the file
    int rc;
    EXPECT_EQ(lookup("GPIO=", &rc), "27");
    EXPECT_EQ(lookup("NAME=", &rc), "two  words");
    EXPECT_EQ(lookup("LAST=", &rc), "7");
    EXPECT_EQ(rc, 1);
}

TEST_F(Config, EmptyValueIsFoundAndPadsWithNul) {
    open("GPIO=   \n");
    char dest[8];
    std::memset(dest, 'X', sizeof dest);
    EXPECT_EQ(find_config_param("GPIO=", dest, sizeof dest, 0), 1);
    for (char c : dest) EXPECT_EQ(c, '\0');
}

TEST_F(Config, CopyIsBoundedByLen) {
    open("UID=123456\nGID=12\n");
    char dest[8];
    std::memset(dest, 'X', sizeof dest);
    ASSERT_EQ(find_config_param("UID=", dest, 5, 0), 1);
    EXPECT_EQ(std::string(dest, 5), "12345");
    EXPECT_EQ(dest[5], 'X') << "nothing is written past len";
    std::memset(dest, 'X', sizeof dest);
    ASSERT_EQ(find_config_param("GID=", dest, 5, 0), 1);
    EXPECT_EQ(std::string(dest, 5), std::string("12\0\0\0", 5));
    EXPECT_EQ(dest[5], 'X');
}

TEST_F(Config, FirstLineWithTheKeyWinsOnEveryLookup) {
    open("GPIO=4\nSPI_SPEED=5000\nGPIO=5\n");
    int rc;
    EXPECT_EQ(lookup("GPIO=", &rc), "4");
    EXPECT_EQ(lookup("SPI_SPEED=", &rc), "5000");
    EXPECT_EQ(lookup("GPIO=", &rc), "4");
    EXPECT_EQ(lookup("GPIO=", &rc), "4");
}

TEST_F(Config, LongLineIsOneLineCutAtTheBuffer) {
    // What lies past the first 253 characters of a line is discarded: the
    // tail of a long comment never becomes a setting, and the key of the
    // second line is found with its value cut at the buffer.
    open("#" + std::string(260, ' ') + "UID=600 GID=0\n" +  //
         std::string(248, 'a') + "GPIO=42\n" +              //
         "SPI_SPEED=" + std::string(300, '9') + "\n" +       //
         "NEXT=1\n");
    int rc;
    EXPECT_EQ(lookup("UID=", &rc), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lookup("GID=", &rc), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lookup("GPIO=", &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(lookup("SPI_SPEED=", &rc), std::string(253 - 10, '9'));
    EXPECT_EQ(lookup("NEXT=", &rc), "1") << "the line after a long one is a line of its own";
}

TEST_F(Config, LoggedLineIsTheLineWithItsCommentCutAway) {
    open("GPIO=17 # signal pin\nSPI_SPEED=5000\n");
    int rc;
    lookup("GPIO=", &rc, 0);  // not logged
    lookup("GPIO=", &rc, 1);
    lookup("SPI_SPEED=", &rc, 1);
    auto m = message();
    EXPECT_EQ(m.priority, kPrioInfo);
    EXPECT_EQ(m.text, "Found param. GPIO=17 ");
    m = message();
    EXPECT_EQ(m.priority, kPrioInfo);
    EXPECT_EQ(m.text, "Found param. SPI_SPEED=5000\n");
}

TEST_F(Config, OneFileStaysOpenUntilClosed) {
    int rc;
    EXPECT_EQ(lookup("GPIO=", &rc), "");
    EXPECT_EQ(rc, -1) << "no file open";
    EXPECT_EQ(open_config_file(dir_.file("missing.conf").c_str()), -1);

    open("GPIO=4\n");
    std::string other = dir_.file("other.conf");
    testsupport::write_file(other, "GPIO=9\n");
    EXPECT_EQ(open_config_file(other.c_str()), 0);
    EXPECT_EQ(lookup("GPIO=", &rc), "4") << "the second open keeps the first file";

    EXPECT_EQ(close_config_file(), 0);
    EXPECT_EQ(fdconfig, nullptr);
    EXPECT_EQ(close_config_file(), EOF);
    EXPECT_EQ(open_config_file(other.c_str()), 0);
    EXPECT_EQ(lookup("GPIO=", &rc), "9");
}

TEST_F(Config, OnlyARegularFileIsTakenAndNothingBlocks) {
    const std::string fifo = dir_.file("fifo"), zero = dir_.file("zero"), link = dir_.file("link");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    testsupport::write_file(path_, "GPIO=4\n");
    ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
    struct Case {
        std::string path;
        std::string want;
    } cases[] = {
        {fifo, "-1"}, {zero, "-1"}, {dir_.path(), "-1"}, {"/dev/null", "-1"}, {link, "0 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        // In a child with an alarm: an open that blocks fails the case.
        std::string got = in_child([&] {
            alarm(5);
            int rc = open_config_file(c.path.c_str());
            std::string out = std::to_string(rc);
            if (rc == 0) {
                char dest[8] = {};
                if (find_config_param("GPIO=", dest, sizeof dest - 1, 0) == 1) out += std::string(" ") + dest;
            }
            return out;
        });
        EXPECT_EQ(got, c.want);
    }
}

TEST_F(Config, UidLimitIs99) {
    open("UID=99\n");
    uid_t uid = 4242;
    EXPECT_EQ(read_conf_uid(&uid), -1);
    EXPECT_EQ(uid, 4242u);
    auto m = message();
    EXPECT_EQ(m.priority, kPrioErr);
    EXPECT_EQ(m.text, "Invalid UID: 99\n");
    close_config_file();

    open("UID=100\n");
    EXPECT_EQ(read_conf_uid(&uid), 0);
    EXPECT_EQ(uid, 100u);
}

TEST_F(Config, UidIsReadWhole) {
    open("UID= 100000 # the boat user\n");
    uid_t uid = 0;
    EXPECT_EQ(read_conf_uid(&uid), 0);
    EXPECT_EQ(uid, 100000u);
}

TEST_F(Config, UidThatIsNotAPlainNumberIsRefused) {
    const char* bad[] = {"abc", "+1000", "-1", "1000x", "10 00", "", "4294967295", "4294967296",
                         "99999999999999999999999"};
    for (const char* v : bad) {
        SCOPED_TRACE(v);
        close_config_file();
        open(std::string("UID=  ") + v + " \r\n");
        uid_t uid = 4242;
        EXPECT_EQ(read_conf_uid(&uid), -1);
        EXPECT_EQ(uid, 4242u);
        auto m = message();
        EXPECT_EQ(m.priority, kPrioErr);
        EXPECT_EQ(m.text, std::string("Invalid UID: ") + v + "\n");
    }
}

TEST_F(Config, AsRootTheGroupIsGidOrTheUsersOwnAndRootsGroupsGo) {
    ASSERT_EQ(getuid(), 0u) << "these tests run as root";
    // An account for user 1000 whose primary group is 1777; user 1002 has none.
    std::string passwd;
    {
        std::istringstream in(testsupport::read_file("/etc/passwd"));
        for (std::string line; std::getline(in, line);)
            if (line.find(":x:1000:") == std::string::npos && line.find(":x:1002:") == std::string::npos)
                passwd += line + "\n";
    }
    testsupport::write_file("/etc/passwd", passwd + "boater:x:1000:1777::/nonexistent:/usr/sbin/nologin\n");
    struct Case {
        const char* conf;
        const char* want;
    } cases[] = {
        {"GID=1001\nUID=1000\n", "rc=0 uid=1000 gid=1001 egid=1001 groups=0"},
        {"UID=1000\n", "rc=0 uid=1000 gid=1777 egid=1777 groups=0"},
        {"UID=1002\n", "rc=0 uid=1002 gid=1002 egid=1002 groups=0"},
        {"UID=1000\nGID=0\n", "rc=0 uid=1000 gid=0 egid=0 groups=0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.conf);
        close_config_file();
        open(c.conf);
        EXPECT_EQ(in_child([] { return identity_after_read(4242, true); }), c.want);
    }
}

TEST_F(Config, AsRootARefusedGroupDropStops) {
    open("UID=1000\nGID=1001\n");
    std::string got = in_child([] {
        // Root without the right to change groups, as under a confining
        // service manager.
        if (!drop_effective_capability(CAP_SETGID)) return std::string("capset failed");
        return identity_after_read(4242, true);
    });
    EXPECT_EQ(got, "rc=-1 uid=1000 gid=0 egid=0 groups=" + std::to_string(getgroups(0, nullptr)));
    auto m = message();
    EXPECT_EQ(m.priority, kPrioErr);
    EXPECT_EQ(m.text, "Can't drop supplementary groups: Operation not permitted\n");
}

TEST_F(Config, AsRootWithoutUidNothingChanges) {
    open("GPIO=4\nGID=1001\n");
    EXPECT_EQ(in_child([] { return identity_after_read(4242); }), "rc=-1 uid=4242 gid=0 egid=0");
    auto m = message();
    EXPECT_EQ(m.priority, kPrioErr);
    EXPECT_EQ(m.text, "UID must be set!\n");
}

TEST_F(Config, AsOrdinaryUserWithoutUidKeepsCallersUid) {
    open("GPIO=4\n");
    std::string got = in_child([] {
        if (setuid(1000) != 0) return std::string("setuid failed");
        return identity_after_read(4242);
    });
    EXPECT_EQ(got, "rc=0 uid=4242 gid=0 egid=0");
}

TEST_F(Config, InvalidUidLeavesTheGroupAlone) {
    open("GID=1001\nUID=42\n");
    EXPECT_EQ(in_child([] { return identity_after_read(4242); }), "rc=-1 uid=4242 gid=0 egid=0");
    EXPECT_EQ(message().text, "Invalid UID: 42\n");
}

TEST_F(Config, GidThatIsNotAPlainNumberIsRefused) {
    const char* bad[] = {"staff", "-1", "+1001", "1001x", "", "4294967296"};
    for (const char* v : bad) {
        SCOPED_TRACE(v);
        close_config_file();
        open(std::string("UID=1000\nGID=") + v + "\r\n");
        EXPECT_EQ(in_child([] { return identity_after_read(4242); }), "rc=-1 uid=1000 gid=0 egid=0");
        auto m = message();
        EXPECT_EQ(m.priority, kPrioErr);
        EXPECT_EQ(m.text, std::string("Invalid GID: ") + v + "\n");
    }
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new testsupport::PrivateSyslogEnvironment);
    return RUN_ALL_TESTS();
}
