// The check-in server the terminals talk to (sim/checkin-server), started
// the one way every whole-program test and the soak start it: on
// 127.0.0.1:PORT of the caller's network namespace, its request log and its
// complaints in files of the caller's.
#pragma once

#include "process.h"

#include <string>
#include <vector>

namespace testsupport {

class CheckinServer {
public:
    // `options` follow "--port PORT": "--cards FILE", "--unknown ANSWER",
    // "--tls-cert ...", "--log-time". True once it listens; false when the
    // port was taken, it ended or did not listen within timeout_ms, and
    // error() says which, with its standard error.
    bool start(int port, const std::vector<std::string>& options, const std::string& log_path,
               const std::string& err_path, int timeout_ms = 10000);
    void stop(int grace_ms = 2000);
    bool running() { return proc_.pid() > 0 && proc_.running(); }
    const std::string& error() const { return error_; }
    const std::string& log_path() const { return log_path_; }
    std::string log() const;
    // The check-ins logged so far, as "RFID=... BoatID=..." texts.
    std::vector<std::string> checkins() const;

private:
    Process proc_;
    std::string log_path_;
    std::string error_;
};

}  // namespace testsupport
