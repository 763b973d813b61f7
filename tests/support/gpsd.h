// gpsd on 127.0.0.1 of the caller's network namespace, fed by gpsfake with
// a receiver log: the one way the tracker's tests and the soak run it.
#pragma once

#include "process.h"

#include <memory>
#include <string>

namespace testsupport {

constexpr int kGpsdPort = 2947;

class Gpsd {
public:
    ~Gpsd() { stop(); }
    // `log` is the path of a receiver log; `cycle` seconds between
    // sentences. The log starts when the first client
    // connects and is replayed over and over, or only `once`: then gpsd
    // ends after its last sentence. True once gpsd listens; else error()
    // says why.
    bool start(const std::string& log, const std::string& cycle, const std::string& outdir, bool once = false,
               int port = kGpsdPort);
    void stop();
    bool running() { return proc_ && proc_->running(); }
    // gpsfake feeds the log from its start, whether or not a client
    // watches yet: a log replayed `once` is held (gpsd itself serves on)
    // until the client under test watches, so that a slow start-up does not
    // miss it.
    void hold();
    void release();
    const std::string& error() const { return error_; }
    // Watching as a client of its own, waits until gpsd has reported the
    // fix of time `when` ("YYYY-MM-DD hh:mm:ss.mmm" UTC). False after
    // timeout_ms.
    bool wait_for_fix(const std::string& when, int timeout_ms);

private:
    std::unique_ptr<Process> proc_;
    int port_ = kGpsdPort;
    std::string error_;
};

}  // namespace testsupport
