#include "shore_program.h"

#include <curl/curl.h>

namespace shoretest {

using testsupport::Process;
using testsupport::ProcessOptions;

ShoreProgram::ShoreProgram(const std::string& database, const std::string& more) {
    config_ = dir_.file("shore.conf");
    testsupport::write_file(config_, "DATABASE=" + database + "\nLISTEN=127.0.0.1:" + std::to_string(kShorePort) + "\n" + more);
}

ShoreProgram::~ShoreProgram() { server_.stop(); }

Run ShoreProgram::run(const std::vector<std::string>& args) {
    ProcessOptions o;
    o.argv = {testsupport::bin("shore/boat_shore"), "--config", config_};
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.stdout_path = dir_.file("run.out");
    o.stderr_path = dir_.file("run.err");
    Process p(o);
    Run r;
    if (!p.wait_exit(30000)) return r;
    r.status = p.exit_status();
    r.out = testsupport::read_file(o.stdout_path);
    r.err = testsupport::read_file(o.stderr_path);
    return r;
}

bool ShoreProgram::start(const std::vector<std::string>& env) {
    ProcessOptions o;
    o.argv = {testsupport::bin("shore/boat_shore"), "--config", config_, "serve"};
    o.env = env;
    o.stderr_path = dir_.file("serve.err");
    server_ = Process(o);
    // It says so once it listens.
    return testsupport::wait_until(
               [this] { return server_err().find("boat_shore: serving ") != std::string::npos || !server_.running(); },
               20000) &&
           server_.running();
}

std::string ShoreProgram::server_err() const { return testsupport::read_file(dir_.file("serve.err")); }

namespace {

size_t collect(char* p, size_t size, size_t n, void* out) {
    static_cast<std::string*>(out)->append(p, size * n);
    return size * n;
}

}  // namespace

Reply ShoreProgram::get(const std::string& target, const std::string& ca, const char* method) {
    Reply r;
    CURL* curl = curl_easy_init();
    if (!curl) return r;
    const std::string url = std::string(ca.empty() ? "http" : "https") + "://127.0.0.1:" + std::to_string(kShorePort) + target;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    // A body of its announced length (none), so the server need not wait for one.
    if (std::string(method) == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (std::string(method) != "GET") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "");
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    if (!ca.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_cleanup(curl);
    return r;
}

Reply ShoreProgram::checkin(const std::string& query, const std::string& ca) {
    return get("/hullgate/checkin.php?" + query, ca);
}

}  // namespace shoretest
