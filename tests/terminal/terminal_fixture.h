// In-process pieces for the terminal tests: a simulated board opened by
// HW_init, a loopback HTTP server standing in for the check-in server, and
// a sleep that writes "<N>" into the captured stderr instead of sleeping,
// so one text shows messages and pauses in their order.
#pragma once

#include "checkin_client.h"
#include "fake_clock.h"
#include "stop.h"
#include "temp_board.h"

#include <bcm2835.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace termtest {

using testsupport::fake_clock;
inline int fake_usleep(useconds_t us) {
    fprintf(stderr, "<%u>", static_cast<unsigned>(us));
    return 0;
}

class HttpServer {
public:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    HttpServer() {
        server_.Get("/hullgate/checkin.php", [this](const httplib::Request& req, httplib::Response& res) {
            Handler h;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                queries_.push_back(req.get_param_value("RFID") + "/" + req.get_param_value("BoatID"));
                h = handler_;
            }
            if (h) h(req, res);
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() before the listener runs would be lost and join() hang.
        EXPECT_TRUE(testsupport::wait_until([this] { return server_.is_running(); }, 5000, 1));
        url_ = "http://127.0.0.1:" + std::to_string(port_) + "/hullgate/checkin.php";
    }
    ~HttpServer() {
        server_.stop();
        thread_.join();
    }
    void on(Handler h) {
        std::lock_guard<std::mutex> lock(mutex_);
        handler_ = std::move(h);
    }
    void answer(const std::string& body, int status = 200) {
        on([body, status](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, "text/plain");
        });
    }
    std::vector<std::string> queries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return queries_;
    }
    const std::string& url() const { return url_; }
    int port() const { return port_; }

private:
    httplib::Server server_;
    std::thread thread_;
    std::mutex mutex_;
    Handler handler_;
    std::vector<std::string> queries_;
    int port_ = 0;
    std::string url_;
};

// A fresh board and fresh exchange state for each test, with the fake
// clock and sleep.
class BoardTest : public ::testing::Test {
protected:
    explicit BoardTest(boatsim::Profile p = boatsim::Profile::checkin) : board_(p) {}
    void SetUp() override {
        setenv("BOATSIM_STATE", board_.path().c_str(), 1);
        Terminal = &kCheckinTerminal;
        ASSERT_EQ(HW_init(5000, 18), 0);
        for (uint8_t pin : {17, 22, 27, 23, 14, 15, 4}) bcm2835_gpio_fsel(pin, BCM2835_GPIO_FSEL_OUTP);
        checkin_buffers_init();
        memset(InBuff, 0, kInBuffSize);
        memset(LastRFID, 0, kLastRFIDSize);
        memset(Buff, 0, kBuffSize);
        InBuffPointer = Days = Seconds = 0;
        StartTime = EndTime = StartMonotonic = 0;
        Active = LastCheckin = 0;
        BoatID = 7;
        URL = server_.url().c_str();
        fake_clock.reset();
        terminal_time = testsupport::fake_time;
        terminal_monotonic = testsupport::fake_monotonic_seconds;
        terminal_usleep = fake_usleep;
        seq_ = board_.last_seq();
    }
    void TearDown() override {
        Terminal = &kCheckinTerminal;
        terminal_time = time;
        terminal_monotonic = terminal_boottime_s;
        terminal_usleep = terminal_pause;
        bcm2835_close();
    }
    // GPIO writes since the last call, as "pin=level" words.
    std::string writes() {
        std::string out;
        for (const auto& e : board_.events_since(seq_)) {
            if (!out.empty()) out += ' ';
            out += std::to_string(e.pin) + "=" + std::to_string(e.level);
        }
        seq_ = board_.last_seq();
        return out;
    }

    testsupport::TempBoard board_;
    HttpServer server_;
    uint64_t seq_ = 0;
};

}  // namespace termtest
