// The emulated PN532 reader (`boatsim nfc`) against real peers: libnfc's
// pn532_uart driver in this process, Debian's nfc-list and nfc-poll, and
// raw frames written to its pseudo-terminal.
#include "faults.h"
#include "process.h"
#include "temp_board.h"

#include <nfc/nfc.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

constexpr nfc_modulation kTypeA = {NMT_ISO14443A, NBR_106};

// Starts `boatsim nfc` on a private board and learns its connection string
// from the file it writes. `link` names the reader's stable device link.
class EmulatedReader {
public:
    explicit EmulatedReader(TempBoard& board, const std::string& link = "") {
        ProcessOptions o;
        o.argv = {bin("sim/boatsim"), "nfc", "--conn-file", dir_.file("conn")};
        if (!link.empty()) o.argv.insert(o.argv.end(), {"--link", link});
        o.env = {board.env()};
        o.stdout_path = dir_.file("stdout");
        o.stderr_path = dir_.file("stderr");
        proc_ = Process(o);
        std::string path = dir_.file("conn");
        bool up = wait_until([&] { return !read_file(path).empty(); }, 10000);
        conn_ = read_file(path);
        while (!conn_.empty() && conn_.back() == '\n') conn_.pop_back();
        EXPECT_TRUE(up) << "emulator wrote no connection string; stderr: " << read_file(dir_.file("stderr"));
    }
    const std::string& conn() const { return conn_; }
    TempDir& dir() { return dir_; }
    std::string pts() const { return conn_.substr(conn_.find(':') + 1); }
    std::string stdout_text() const { return read_file(dir_.file("stdout")); }
    Process& process() { return proc_; }

private:
    TempDir dir_;
    Process proc_;
    std::string conn_;
};

// libnfc pointed at the emulator through its standard default-device setting.
class Libnfc {
public:
    explicit Libnfc(const std::string& conn) {
        setenv("LIBNFC_DEFAULT_DEVICE", conn.c_str(), 1);
        nfc_init(&ctx_);
        if (ctx_) dev_ = nfc_open(ctx_, nullptr);
    }
    ~Libnfc() {
        if (dev_) nfc_close(dev_);
        if (ctx_) nfc_exit(ctx_);
    }
    nfc_device* dev() { return dev_; }
    // nfc_initiator_init, with libnfc's infinite select set as asked.
    bool init(bool infinite_select) {
        return dev_ && nfc_initiator_init(dev_) >= 0 &&
               nfc_device_set_property_bool(dev_, NP_INFINITE_SELECT, infinite_select) >= 0;
    }
    int select(nfc_target* t) { return nfc_initiator_select_passive_target(dev_, kTypeA, nullptr, 0, t); }

private:
    nfc_context* ctx_ = nullptr;
    nfc_device* dev_ = nullptr;
};

std::string uid_hex(const nfc_target& t) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < t.nti.nai.szUidLen; i++) {
        snprintf(b, sizeof b, "%02x", t.nti.nai.abtUid[i]);
        s += b;
    }
    return s;
}

// The host end of the pseudo-terminal, opened the way a serial driver does.
class RawLine {
public:
    explicit RawLine(const std::string& pts) {
        fd_ = open(pts.c_str(), O_RDWR | O_NOCTTY);
        termios t {};
        if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~RawLine() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const std::vector<uint8_t>& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // Exactly n bytes, or fewer when the emulator stays silent for timeout_ms.
    std::vector<uint8_t> recv(size_t n, int timeout_ms = 3000) {
        std::vector<uint8_t> out;
        while (out.size() < n) {
            pollfd pf {fd_, POLLIN, 0};
            if (poll(&pf, 1, timeout_ms) <= 0) break;
            uint8_t b[300];
            ssize_t r = read(fd_, b, std::min(sizeof b, n - out.size()));
            if (r <= 0) break;
            out.insert(out.end(), b, b + r);
        }
        return out;
    }

private:
    int fd_ = -1;
};

// Normal information frame, host to reader.
std::vector<uint8_t> frame(const std::vector<uint8_t>& cmd) {
    std::vector<uint8_t> f = {0x00, 0x00, 0xFF, static_cast<uint8_t>(cmd.size() + 1),
                              static_cast<uint8_t>(0x100 - (cmd.size() + 1)), 0xD4};
    uint8_t sum = 0xD4;
    for (uint8_t b : cmd) {
        f.push_back(b);
        sum = static_cast<uint8_t>(sum + b);
    }
    f.push_back(static_cast<uint8_t>(0x100 - sum));
    f.push_back(0x00);
    return f;
}

const std::vector<uint8_t> kAck = {0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00};
const std::vector<uint8_t> kNack = {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
const std::vector<uint8_t> kErrorFrame = {0x00, 0x00, 0xFF, 0x01, 0xFF, 0x7F, 0x81, 0x00};
const std::vector<uint8_t> kFirmwareReply = frame({0x03, 0x32, 0x01, 0x06, 0x07});  // TFI fixed below

std::vector<uint8_t> reply_frame(std::vector<uint8_t> f) {
    f[5] = 0xD5;  // chip to host: same sums with TFI D5 need DCS one less
    f[f.size() - 2] = static_cast<uint8_t>(f[f.size() - 2] - 1);
    return f;
}

}  // namespace

TEST(NfcReader, LibnfcSelectsCardsOfEveryUidSizeWithTheirAtqaAndSak) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    Libnfc nfc(emu.conn());
    ASSERT_NE(nfc.dev(), nullptr) << "nfc_open failed on " << emu.conn();
    ASSERT_TRUE(nfc.init(false));

    struct Expected {
        const char* uid;
        uint8_t atqa1;  // the second ATQA byte tells the UID size
        uint8_t sak;
    };
    for (const Expected& e : {Expected{"0a1bc203", 0x04, 0x08}, Expected{"04a1b2c3d4e5f6", 0x44, 0x00},
                              Expected{"0102030405060708090a", 0x84, 0x00}}) {
        board.put_card(e.uid);
        nfc_target t {};
        ASSERT_EQ(nfc.select(&t), 1) << e.uid;
        EXPECT_EQ(uid_hex(t), e.uid);
        EXPECT_EQ(t.nti.nai.abtAtqa[0], 0x00) << e.uid;
        EXPECT_EQ(t.nti.nai.abtAtqa[1], e.atqa1) << e.uid;
        EXPECT_EQ(t.nti.nai.btSak, e.sak) << e.uid;
        board.take_card(e.uid);
    }
}

TEST(NfcReader, CardStayingOnTheReaderIsSelectedOnEveryPollAndGoneOnceTaken) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    Libnfc nfc(emu.conn());
    ASSERT_TRUE(nfc.init(false));
    nfc_target t {};
    EXPECT_EQ(nfc.select(&t), 0) << "empty field";

    board.put_card("04a1b2c3d4e5f6");
    for (int pass = 0; pass < 3; pass++) {
        ASSERT_EQ(nfc.select(&t), 1) << "pass " << pass;
        EXPECT_EQ(uid_hex(t), "04a1b2c3d4e5f6");
    }
    board.take_card("04a1b2c3d4e5f6");
    EXPECT_EQ(nfc.select(&t), 0) << "card taken out";
}

TEST(NfcReader, TwoCardsInTheFieldAreSingledOutOneAtATime) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    // Differ in many bits of the first cascade level, so anticollision has work.
    board.put_card("11223344");
    board.put_card("04a1b2c3d4e5f6");
    Libnfc nfc(emu.conn());
    ASSERT_TRUE(nfc.init(false));

    nfc_target t {};
    ASSERT_EQ(nfc.select(&t), 1);
    std::string first = uid_hex(t);
    EXPECT_TRUE(first == "11223344" || first == "04a1b2c3d4e5f6") << first;

    nfc_target all[4] {};
    int n = nfc_initiator_list_passive_targets(nfc.dev(), kTypeA, all, 4);
    ASSERT_EQ(n, 2);
    EXPECT_NE(uid_hex(all[0]), uid_hex(all[1]));
    for (int i = 0; i < 2; i++) EXPECT_TRUE(uid_hex(all[i]) == "11223344" || uid_hex(all[i]) == "04a1b2c3d4e5f6");
}

// MIFARE commands go through InDataExchange; the chip does the authentication.
TEST(NfcReader, LibnfcAuthenticatesReadsAndWritesBlocksThroughTheReader) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    board.put_card("04a1b2c3d4e5f6");
    Libnfc nfc(emu.conn());
    ASSERT_TRUE(nfc.init(false));
    nfc_target t {};
    ASSERT_EQ(nfc.select(&t), 1);

    auto auth = [&](uint8_t block, uint8_t key_byte) {
        uint8_t cmd[12] = {0x60, block};
        for (int i = 0; i < 6; i++) cmd[2 + i] = key_byte;
        memcpy(cmd + 8, t.nti.nai.abtUid + t.nti.nai.szUidLen - 4, 4);
        uint8_t rx[16];
        return nfc_initiator_transceive_bytes(nfc.dev(), cmd, sizeof cmd, rx, sizeof rx, 0);
    };
    auto read = [&](uint8_t block, uint8_t* out) {
        uint8_t cmd[2] = {0x30, block};
        return nfc_initiator_transceive_bytes(nfc.dev(), cmd, sizeof cmd, out, 16, 0);
    };
    ASSERT_GE(auth(0, 0xFF), 0);
    uint8_t data[16] {};
    ASSERT_EQ(read(0, data), 16);
    EXPECT_EQ(0, memcmp(data, t.nti.nai.abtUid, 7)) << "block 0 begins with the UID";

    uint8_t block4[18] = {0xA0, 0x04};
    for (int i = 0; i < 16; i++) block4[2 + i] = static_cast<uint8_t>(0xB0 + i);
    ASSERT_GE(auth(4, 0xFF), 0);
    uint8_t rx[16];
    ASSERT_GE(nfc_initiator_transceive_bytes(nfc.dev(), block4, sizeof block4, rx, sizeof rx, 0), 0);
    ASSERT_EQ(read(4, data), 16);
    EXPECT_EQ(0, memcmp(data, block4 + 2, 16));

    // A wrong key is refused, and the card has to be selected again.
    EXPECT_LT(auth(8, 0x00), 0);
    ASSERT_EQ(nfc.select(&t), 1);
    ASSERT_GE(auth(4, 0xFF), 0);
    ASSERT_EQ(read(4, data), 16);
    EXPECT_EQ(data[15], 0xBF);
}

// Retry count 0xFF: the reader answers only once a card is there. libnfc
// gives up on its own after a while, so the waiting is checked on the line.
TEST(NfcReader, InfiniteRetriesWaitForACardFiniteRetriesReportNone) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    RawLine line(emu.pts());
    ASSERT_TRUE(line.ok());
    line.send(frame({0x32, 0x05, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(9), reply_frame(frame({0x33})));

    line.send(frame({0x4A, 0x01, 0x00}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_TRUE(line.recv(1, 400).empty()) << "answered with an empty field";
    board.put_card("0a1bc203");
    EXPECT_EQ(line.recv(19), reply_frame(frame({0x4B, 0x01, 0x01, 0x00, 0x04, 0x08, 0x04, 0x0A, 0x1B, 0xC2, 0x03})));

    // libnfc's finite setting: one try and two retries, then NbTg 0.
    board.take_card("0a1bc203");
    line.send(frame({0x32, 0x05, 0x00, 0x01, 0x02}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(9), reply_frame(frame({0x33})));
    line.send(frame({0x4A, 0x01, 0x00}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(10), reply_frame(frame({0x4B, 0x00})));
}

TEST(NfcReader, LibnfcAbortingAWaitingSelectLeavesTheReaderUsable) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    Libnfc nfc(emu.conn());
    ASSERT_TRUE(nfc.init(true));
    nfc_target t {};
    auto waiting = std::async(std::launch::async, [&] { return nfc.select(&t); });
    nfc_abort_command(nfc.dev());
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_LT(waiting.get(), 1);

    ASSERT_GE(nfc_device_set_property_bool(nfc.dev(), NP_INFINITE_SELECT, false), 0);
    board.put_card("04a1b2c3d4e5f6");
    ASSERT_EQ(nfc.select(&t), 1);
    EXPECT_EQ(uid_hex(t), "04a1b2c3d4e5f6");
}

TEST(NfcReader, HostReopensTheLineAfterLeavingAnAnswerUnread) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    board.put_card("0a1bc203");
    {
        RawLine line(emu.pts());
        ASSERT_TRUE(line.ok());
        line.send(frame({0x02}));  // GetFirmwareVersion, answer never read
    }
    for (int round = 0; round < 2; round++) {
        Libnfc nfc(emu.conn());
        ASSERT_NE(nfc.dev(), nullptr) << "open " << round;
        ASSERT_TRUE(nfc.init(false));
        nfc_target t {};
        ASSERT_EQ(nfc.select(&t), 1) << "round " << round;
        EXPECT_EQ(uid_hex(t), "0a1bc203");
    }
}

TEST(NfcReader, DebianExampleToolsShowTheCard) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    board.put_card("04a1b2c3d4e5f6");
    TempDir dir;
    for (const char* tool : {"/usr/bin/nfc-list", "/usr/bin/nfc-poll", "/usr/bin/nfc-anticol"}) {
        ProcessOptions o;
        o.argv = {tool};
        o.env = {"LIBNFC_DEFAULT_DEVICE=" + emu.conn()};
        o.stdout_path = dir.file("out");
        o.stderr_path = dir.file("err");
        Process p(o);
        ASSERT_TRUE(p.wait_exit(60000)) << tool << " did not finish";
        EXPECT_EQ(p.exit_status(), 0) << tool << ": " << read_file(dir.file("err"));
        std::string out = read_file(dir.file("out"));
        if (std::string(tool) == "/usr/bin/nfc-anticol") {  // bit frames through InCommunicateThru
            EXPECT_NE(out.find("UID: 04a1b2c3d4e5f6"), std::string::npos) << tool << ":\n" << out;
            EXPECT_NE(out.find("ATQA: 0044"), std::string::npos) << tool << ":\n" << out;
            continue;
        }
        EXPECT_NE(out.find("UID (NFCID1): 04  a1  b2  c3  d4  e5  f6"), std::string::npos) << tool << ":\n" << out;
        EXPECT_NE(out.find("ATQA (SENS_RES): 00  44"), std::string::npos) << tool << ":\n" << out;
    }
}

TEST(NfcReader, MalformedFramesAreIgnoredAndTheReaderKeepsWorking) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    RawLine line(emu.pts());
    ASSERT_TRUE(line.ok());
    const std::vector<uint8_t> get_fw = frame({0x02});
    const std::vector<uint8_t> fw_reply = reply_frame(kFirmwareReply);

    // Wake-up preamble, then a frame with a wrong data checksum: no ACK for
    // it; the good frame right behind it is answered.
    std::vector<uint8_t> bad_dcs = get_fw;
    bad_dcs[bad_dcs.size() - 2] ^= 0x01;
    std::vector<uint8_t> burst = {0x55, 0x55, 0x00, 0x00, 0x00};
    burst.insert(burst.end(), bad_dcs.begin(), bad_dcs.end());
    burst.insert(burst.end(), get_fw.begin(), get_fw.end());
    line.send(burst);
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(fw_reply.size()), fw_reply);

    // A wrong length checksum whose length would swallow the next frame.
    std::vector<uint8_t> bad_lcs = {0x00, 0x00, 0xFF, 0x40, 0x01, 0xD4, 0x02};
    bad_lcs.insert(bad_lcs.end(), get_fw.begin(), get_fw.end());
    line.send(bad_lcs);
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(fw_reply.size()), fw_reply);
    EXPECT_TRUE(line.recv(1, 200).empty()) << "a bad frame was answered";

    // A header that checks out but whose frame never comes does not eat
    // the next command once the line has been quiet for a while.
    line.send({0x00, 0x00, 0xFF, 0xF0, 0x10, 0xD4, 0x02});
    EXPECT_TRUE(line.recv(1, 400).empty());
    line.send(get_fw);
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(fw_reply.size()), fw_reply);

    // NACK from the host: the last answer again.
    line.send(kNack);
    EXPECT_EQ(line.recv(fw_reply.size()), fw_reply);

    // Good checksums but no such command / not from a host: ACK, then the error frame.
    line.send(frame({0xEE}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(kErrorFrame.size()), kErrorFrame);
    std::vector<uint8_t> wrong_tfi = reply_frame(get_fw);
    line.send(wrong_tfi);
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(kErrorFrame.size()), kErrorFrame);

    // Diagnose echo as libnfc checks it when opening.
    line.send(frame({0x00, 0x00, 'l', 'i', 'b', 'n', 'f', 'c'}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(16), reply_frame(frame({0x01, 0x00, 'l', 'i', 'b', 'n', 'f', 'c'})));

    // Retrying forever, aborted by the host's ACK: no late answer follows.
    line.send(frame({0x32, 0x05, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(9), reply_frame(frame({0x33})));
    line.send(frame({0x4A, 0x01, 0x00}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    line.send(kAck);
    // The NACK's answer (the last one, the 0x32's) shows the abort was
    // taken before the card comes: only then is an answer a late one.
    line.send(kNack);
    EXPECT_EQ(line.recv(9), reply_frame(frame({0x33})));
    board.put_card("0a1bc203");
    EXPECT_TRUE(line.recv(1, 300).empty()) << "aborted command answered";
    line.send(get_fw);
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(fw_reply.size()), fw_reply);
}

// What libnfc sees of the reader's faults: an unplugged reader fails its
// line and cannot be opened until it is plugged back under the same name;
// a mute one times out. Cleared, the same connection string opens it again.
TEST(NfcReader, ReaderFaultsLookLikeAnUnpluggedOrSilentReaderUntilCleared) {
    struct Case {
        boatsim::Fault fault;
        int select_error;
    };
    for (const Case& c : {Case {boatsim::Fault::pn532_line_closed, NFC_EIO}, Case {boatsim::Fault::pn532_mute, NFC_ETIMEOUT}}) {
        SCOPED_TRACE(boatsim::fault_name(c.fault));
        TempBoard board(boatsim::Profile::tracker);
        TempDir dir;
        const std::string link = dir.file("reader");
        EmulatedReader emu(board, link);
        ASSERT_EQ(emu.conn(), "pn532_uart:" + link);
        board.put_card("0a1bc203");
        {
            Libnfc nfc(emu.conn());
            ASSERT_TRUE(nfc.init(false));
            nfc_target t {};
            ASSERT_EQ(nfc.select(&t), 1);

            boatsim::fault_set(board.state(), c.fault, true);
            int r = 1;
            EXPECT_TRUE(wait_until([&] { return (r = nfc.select(&t)) < 0; }, 10000)) << "the fault never showed";
            EXPECT_EQ(r, c.select_error);
        }
        EXPECT_EQ(Libnfc(emu.conn()).dev(), nullptr) << "opened while the fault is set";
        if (c.fault == boatsim::Fault::pn532_line_closed) {
            EXPECT_NE(access(link.c_str(), F_OK), 0) << "the unplugged reader's name is still there";
        }

        boatsim::fault_set(board.state(), c.fault, false);
        // Back within the emulator's look at the faults; libnfc's open is the wait.
        std::unique_ptr<Libnfc> nfc;
        EXPECT_TRUE(wait_until([&] {
            nfc = std::make_unique<Libnfc>(emu.conn());
            return nfc->dev() != nullptr;
        }, 10000));
        ASSERT_TRUE(nfc->init(false));
        nfc_target t {};
        ASSERT_EQ(nfc->select(&t), 1);
        EXPECT_EQ(uid_hex(t), "0a1bc203");
        EXPECT_EQ(emu.stdout_text(), emu.conn() + "\n") << "one name for the whole run";
    }
}

// Diagnose test 0x06 asks the selected target whether it is still there.
TEST(NfcReader, PresenceTestAsksTheFieldNotTheBookkeeping) {
    TempBoard board(boatsim::Profile::tracker);
    EmulatedReader emu(board);
    RawLine line(emu.pts());
    ASSERT_TRUE(line.ok());
    auto presence = [&] {
        line.send(frame({0x00, 0x06}));
        EXPECT_EQ(line.recv(kAck.size()), kAck);
        return line.recv(10);
    };
    const std::vector<uint8_t> present = reply_frame(frame({0x01, 0x00}));
    const std::vector<uint8_t> absent = reply_frame(frame({0x01, 0x01}));
    EXPECT_EQ(presence(), absent) << "no target selected";

    board.put_card("0a1bc203");
    line.send(frame({0x32, 0x05, 0x00, 0x01, 0x02}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(9), reply_frame(frame({0x33})));
    line.send(frame({0x4A, 0x01, 0x00}));
    EXPECT_EQ(line.recv(kAck.size()), kAck);
    EXPECT_EQ(line.recv(19), reply_frame(frame({0x4B, 0x01, 0x01, 0x00, 0x04, 0x08, 0x04, 0x0A, 0x1B, 0xC2, 0x03})));
    EXPECT_EQ(presence(), present);
    EXPECT_EQ(presence(), present) << "asking twice keeps it selected";
    board.take_card("0a1bc203");
    EXPECT_EQ(presence(), absent) << "card taken out";
}

TEST(NfcReader, EmulatorEndsCleanlyOnSigtermAndRefusesAMissingBoard) {
    TempBoard board(boatsim::Profile::tracker);
    {
        EmulatedReader emu(board);
        EXPECT_EQ(emu.stdout_text(), emu.conn() + "\n");
        EXPECT_EQ(emu.conn().rfind("pn532_uart:/dev/pts/", 0), 0u) << emu.conn();
        emu.process().stop();
        EXPECT_EQ(emu.process().exit_status(), 0);
    }
    TempDir dir;
    ProcessOptions o;
    o.argv = {bin("sim/boatsim"), "nfc"};
    o.env = {"BOATSIM_STATE=" + dir.file("missing.state")};
    o.stderr_path = dir.file("err");
    Process p(o);
    ASSERT_TRUE(p.wait_exit(10000));
    EXPECT_EQ(p.exit_status(), 1);
    EXPECT_NE(read_file(dir.file("err")).find("missing.state"), std::string::npos);
}
