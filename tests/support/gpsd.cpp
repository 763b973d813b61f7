#include "gpsd.h"

#include <gps.h>
#include <signal.h>

#include <cstring>

namespace testsupport {

bool Gpsd::start(const std::string& log, const std::string& cycle, const std::string& outdir, bool once, int port) {
    stop();
    port_ = port;
    if (port_open(port_)) {
        error_ = "127.0.0.1:" + std::to_string(port_) + " is taken by another program";
        return false;
    }
    ProcessOptions o;
    o.argv = {"/usr/bin/gpsfake", "-q", "-P", std::to_string(port_), "-c", cycle};
    if (once) o.argv.push_back("-1");
    o.argv.push_back(log);
    o.stdout_path = outdir + "/gpsfake.out";
    o.stderr_path = outdir + "/gpsfake.err";
    proc_ = std::make_unique<Process>(o);
    const bool up = proc_->pid() > 0 &&
                    wait_until([&] { return port_open(port_) || !proc_->running(); }, 20000, 20) && proc_->running();
    error_ = up ? "" : "gpsfake did not bring gpsd up on port " + std::to_string(port_) + ": " + read_file(o.stderr_path);
    return up;
}

void Gpsd::hold() {
    if (proc_) kill(proc_->pid(), SIGSTOP);  // gpsfake only, not its gpsd
}

void Gpsd::release() {
    if (proc_) kill(proc_->pid(), SIGCONT);
}

void Gpsd::stop() {
    if (!proc_) return;
    release();
    // gpsfake runs gpsd as its child; its process group holds both.
    if (proc_->running()) kill(-proc_->pid(), SIGTERM);
    proc_->stop(3000);
    kill(-proc_->pid(), SIGKILL);
    proc_.reset();
    wait_until([&] { return !port_open(port_); }, 5000, 20);
}

bool Gpsd::wait_for_fix(const std::string& when, int timeout_ms) {
    struct gps_data_t g {};
    if (gps_open("127.0.0.1", std::to_string(port_).c_str(), &g) != 0) return false;
    gps_stream(&g, WATCH_ENABLE | WATCH_JSON, nullptr);
    std::string iso = when;
    iso[10] = 'T';
    const std::string want = "\"time\":\"" + iso + "Z\"";
    bool seen = false;
    wait_until([&] {
        char report[4096];
        while (!seen && gps_waiting(&g, 0)) {
            report[0] = '\0';
            if (gps_read(&g, report, sizeof report) < 0) return true;
            seen = strstr(report, "\"class\":\"TPV\"") && strstr(report, want.c_str());
        }
        return seen;
    }, timeout_ms, 20);
    gps_close(&g);
    return seen;
}

}  // namespace testsupport
