#include "checkin_server.h"

#include <sstream>

namespace testsupport {

bool CheckinServer::start(int port, const std::vector<std::string>& options, const std::string& log_path,
                          const std::string& err_path, int timeout_ms) {
    log_path_ = log_path;
    if (port_open(port)) {
        error_ = "127.0.0.1:" + std::to_string(port) + " is taken by another program";
        return false;
    }
    std::vector<std::string> argv = {peer_bin("sim/checkin-server"), "--port", std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    proc_ = Process({argv, {}, "", log_path, err_path, ""});
    const bool up = wait_until([&] { return port_open(port) || !proc_.running(); }, timeout_ms) && proc_.running();
    error_ = up ? "" : "the check-in server did not listen on " + std::to_string(port) + ": " + read_file(err_path);
    return up;
}

void CheckinServer::stop(int grace_ms) {
    if (proc_.pid() > 0) proc_.stop(grace_ms);
}

std::string CheckinServer::log() const { return read_file(log_path_); }

std::vector<std::string> CheckinServer::checkins() const {
    std::vector<std::string> out;
    std::istringstream in(log());
    // "[<ns> ]checkin RFID=<serial> BoatID=<n> -> <answer>"
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("checkin ");
        if (at == std::string::npos || line.find(" -> ", at) == std::string::npos) continue;
        if (at > 0 && line.find_first_not_of("0123456789") != at - 1) continue;
        out.push_back(line.substr(at + 8, line.find(" ->", at) - at - 8));
    }
    return out;
}

}  // namespace testsupport
