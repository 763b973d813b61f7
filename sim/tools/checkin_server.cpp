// checkin-server: a small check-in server for the demo and the tests.
//
//   checkin-server [--cards FILE] [--unknown TEXT] [--port N] [--bind ADDR]
//                  [--tls-cert FILE --tls-key FILE [--client-ca FILE]]
//                  [--redirect URL] [--log-time]
//
// Serves GET on the path of the compiled base URL. The answer for a card
// comes from FILE, read afresh for every request so it can be changed
// while the server runs: one line per card, the serial (matched without
// regard to case), exactly one blank or tab, then the answer verbatim to
// the line's end, blanks included ("0a1bc203  KILL" answers " KILL"); a
// CR before the line end is the file's, not the answer's. Blank lines
// and lines whose first non-blank is "#" are ignored. Cards not in the
// table get --unknown (default "BAD").
//
// Escapes in answers (and --unknown) for what a line cannot hold or
// shows poorly: \r \n \t \\ and \xHH (two hex digits), e.g.
// "\xEF\xBB\xBFBAD" (a byte-order mark, then BAD) or "\r\nBAD". Any other
// backslash stands for itself.
//
// An answer starting with "!" asks for a special behaviour (escapes apply
// to TEXT and to each part; "\x21" starts a plain answer with "!"):
//   !status N TEXT    HTTP status N with body TEXT
//   !redirect TEXT    302 to the same path; the followed request gets TEXT
//   !chunks A|B|...   chunked body, one chunk per part, 200 ms apart
//   !empty            200 with an empty body
//   !hang             never answers (until the server is stopped, or for
//                     a minute, well past any client's time-out)
//   !drip MS TEXT     200 at once, then TEXT one byte every MS ms (chunked)
//   !slow MS ANSWER   ANSWER (which may be one of these) after MS ms
//   !reset            200 with a body of announced length that never
//                     comes: the connection closes after the headers
//
// With --tls-cert and --tls-key (PEM files) it serves https instead of
// http; with --client-ca also only to clients whose certificate that CA
// signed (the handshake fails for any other). With --redirect every request is answered with a 302 to URL with
// the request's query, whatever the cards say (a server that hands the
// terminal on, to plain http or to itself).
//
// Every request is logged on stdout, the answer as written in FILE:
// "checkin RFID=<serial> BoatID=<n> -> <answer>", with " Kind=<kind>" after
// the boat when the request names its kind of check-in. With --log-time each
// line begins with the CLOCK_MONOTONIC time the request arrived, in
// nanoseconds, and a blank: a soak orders requests and board events by it.
#include <httplib.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> g_stopping{false};

// A handler that holds its worker no longer than this, so that hangs and
// drips cannot use up the worker threads of a long-running server.
constexpr auto kLongestHold = std::chrono::seconds(60);

// Sleeps `ms` or until the server is stopped; false when stopped.
bool pause_ms(long ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!g_stopping) {
        const auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::milliseconds(0)) return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, std::chrono::milliseconds(50)));
    }
    return false;
}
std::mutex g_out_mutex;

struct Options {
    std::string cards;
    std::string unknown = "BAD";
    std::string bind = "127.0.0.1";
    int port = 0;
    std::string path;
    std::string tls_cert;
    std::string tls_key;
    std::string client_ca;
    std::string redirect;
    bool log_time = false;
};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes an answer as written in FILE stands for.
std::string unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (c != '\\' || !next) {
            out += c;
        } else if (next == 'r' || next == 'n' || next == 't' || next == '\\') {
            out += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : '\\';
            i++;
        } else if (next == 'x' && i + 3 < text.size() && hex_digit(text[i + 2]) >= 0 && hex_digit(text[i + 3]) >= 0) {
            out += static_cast<char>(hex_digit(text[i + 2]) * 16 + hex_digit(text[i + 3]));
            i += 3;
        } else {
            out += c;
        }
    }
    return out;
}

// The answer for `serial` as written in FILE (or --unknown), escapes and all.
std::string answer_for(const Options& o, const std::string& serial) {
    if (!o.cards.empty()) {
        std::ifstream in(o.cards);
        std::string line;
        const std::string key = lower(serial);
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line[start] == '#') continue;
            size_t end = line.find_first_of(" \t", start);
            std::string card = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (lower(card) != key) continue;
            // One separator; the rest is the answer, leading blanks included.
            return end == std::string::npos ? "" : line.substr(end + 1);
        }
    }
    return o.unknown;
}

void log_request(const Options& o, const httplib::Request& req, const std::string& answer) {
    const std::string serial = req.get_param_value("RFID");
    const std::string boat = req.get_param_value("BoatID");
    const std::string kind = req.has_param("Kind") ? " Kind=" + req.get_param_value("Kind") : "";
    std::lock_guard<std::mutex> lock(g_out_mutex);
    if (o.log_time) {
        timespec t {};
        clock_gettime(CLOCK_MONOTONIC, &t);
        printf("%lld ", static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec);
    }
    printf("checkin RFID=%s BoatID=%s%s -> %s\n", serial.c_str(), boat.c_str(), kind.c_str(), answer.c_str());
    fflush(stdout);
}

// The query a redirect hands on: the card, the boat and the kind of check-in.
std::string query_of(const httplib::Request& req) {
    std::string q = "RFID=" + req.get_param_value("RFID") + "&BoatID=" + req.get_param_value("BoatID");
    if (req.has_param("Kind")) q += "&Kind=" + req.get_param_value("Kind");
    return q;
}

// Length announced by "!reset", whose body never comes.
constexpr size_t kResetLength = 64;

// Splits "!word rest" into word and rest.
void directive(const std::string& answer, std::string* word, std::string* rest) {
    size_t sp = answer.find(' ');
    *word = answer.substr(1, sp == std::string::npos ? std::string::npos : sp - 1);
    *rest = sp == std::string::npos ? "" : answer.substr(sp + 1);
}

// Serves `answer` (as written in FILE) on `res`.
void serve(const Options& o, const httplib::Request& req, httplib::Response& res, const std::string& answer) {
    if (answer.empty() || answer[0] != '!') {
        res.set_content(unescape(answer), "text/plain");
        return;
    }
    std::string word, rest;
    directive(answer, &word, &rest);
    if (word == "status") {
        char* end = nullptr;
        long status = strtol(rest.c_str(), &end, 10);
        res.status = static_cast<int>(status);
        res.set_content(unescape(*end == ' ' ? end + 1 : end), "text/plain");
    } else if (word == "redirect") {
        res.set_redirect(o.path + "?" + query_of(req) + "&hop=1");
    } else if (word == "chunks") {
        std::vector<std::string> parts;
        std::stringstream ss(rest);
        for (std::string p; std::getline(ss, p, '|');) parts.push_back(unescape(p));
        res.set_chunked_content_provider("text/plain", [parts](size_t, httplib::DataSink& sink) {
            for (size_t i = 0; i < parts.size(); i++) {
                if (i > 0 && !pause_ms(200)) return false;
                if (!sink.write(parts[i].data(), parts[i].size())) return false;
            }
            sink.done();
            return true;
        });
    } else if (word == "empty") {
        res.set_content("", "text/plain");
    } else if (word == "hang") {
        pause_ms(std::chrono::duration_cast<std::chrono::milliseconds>(kLongestHold).count());
    } else if (word == "drip") {
        char* end = nullptr;
        const long ms = strtol(rest.c_str(), &end, 10);
        const std::string text = unescape(*end == ' ' ? end + 1 : end);
        res.set_chunked_content_provider("text/plain", [ms, text](size_t, httplib::DataSink& sink) {
            const auto until = std::chrono::steady_clock::now() + kLongestHold;
            for (char c : text) {
                // A client that gave up is not dripped on further.
                if (!sink.is_writable() || !sink.write(&c, 1)) return false;
                if (!pause_ms(ms) || std::chrono::steady_clock::now() > until) return false;
            }
            sink.done();
            return true;
        });
    } else if (word == "slow") {
        char* end = nullptr;
        const long ms = strtol(rest.c_str(), &end, 10);
        if (!pause_ms(ms)) return;
        serve(o, req, res, *end == ' ' ? end + 1 : end);
    } else if (word == "reset") {
        res.set_content_provider(kResetLength, "text/plain", [](size_t, size_t, httplib::DataSink&) { return false; });
    } else {
        res.set_content(unescape(answer), "text/plain");
    }
}

void respond(const Options& o, const httplib::Request& req, httplib::Response& res) {
    std::string answer = answer_for(o, req.get_param_value("RFID"));
    if (req.has_param("hop")) {
        // Second leg of a redirect: the text after the directive.
        std::string word, rest;
        directive(answer, &word, &rest);
        answer = rest;
    }
    log_request(o, req, answer);
    serve(o, req, res, answer);
}

// Port and path of the compiled base URL, "http://host[:port]/path".
void parse_base_url(const char* url, int* port, std::string* path) {
    std::string u(url);
    size_t host = u.find("://");
    host = host == std::string::npos ? 0 : host + 3;
    size_t slash = u.find('/', host);
    std::string authority = u.substr(host, slash == std::string::npos ? std::string::npos : slash - host);
    *path = slash == std::string::npos ? "/" : u.substr(slash);
    size_t colon = authority.rfind(':');
    *port = colon == std::string::npos ? 80 : atoi(authority.c_str() + colon + 1);
}

int usage() {
    fprintf(stderr,
            "usage: checkin-server [--cards FILE] [--unknown TEXT] [--port N] [--bind ADDR]\n"
            "                      [--tls-cert FILE --tls-key FILE [--client-ca FILE]] [--redirect URL]\n"
            "                      [--log-time]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    parse_base_url(BOAT_CHECKIN_URL, &o.port, &o.path);
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--log-time") {
            o.log_time = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        if (a == "--cards")
            o.cards = argv[++i];
        else if (a == "--unknown")
            o.unknown = argv[++i];
        else if (a == "--port")
            o.port = atoi(argv[++i]);
        else if (a == "--bind")
            o.bind = argv[++i];
        else if (a == "--tls-cert")
            o.tls_cert = argv[++i];
        else if (a == "--tls-key")
            o.tls_key = argv[++i];
        else if (a == "--client-ca")
            o.client_ca = argv[++i];
        else if (a == "--redirect")
            o.redirect = argv[++i];
        else
            return usage();
    }
    if (o.port <= 0 || o.port > 65535) return usage();
    if (o.tls_cert.empty() != o.tls_key.empty()) return usage();
    if (!o.client_ca.empty() && o.tls_cert.empty()) return usage();
    const bool tls = !o.tls_cert.empty();

    // Signals are taken by one thread that stops the server; the workers
    // never see them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::unique_ptr<httplib::Server> server_ptr;
    if (tls)
        server_ptr = std::make_unique<httplib::SSLServer>(o.tls_cert.c_str(), o.tls_key.c_str(),
                                                          o.client_ca.empty() ? nullptr : o.client_ca.c_str());
    else
        server_ptr = std::make_unique<httplib::Server>();
    httplib::Server& server = *server_ptr;
    if (!server.is_valid()) {
        fprintf(stderr, "checkin-server: cannot use certificate %s with key %s\n", o.tls_cert.c_str(), o.tls_key.c_str());
        return 1;
    }
    if (!o.redirect.empty()) {
        server.Get(o.path, [&o](const httplib::Request& req, httplib::Response& res) {
            std::string to = o.redirect + "?" + query_of(req);
            log_request(o, req, "redirect " + to);
            res.set_redirect(to);
        });
    } else {
        server.Get(o.path, [&o](const httplib::Request& req, httplib::Response& res) { respond(o, req, res); });
    }

    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        g_stopping = true;
        server.stop();
    });

    if (!server.bind_to_port(o.bind, o.port)) {
        fprintf(stderr, "checkin-server: cannot listen on %s:%d\n", o.bind.c_str(), o.port);
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        return 1;
    }
    printf("checkin-server listening on %s://%s:%d%s\n", tls ? "https" : "http", o.bind.c_str(), o.port, o.path.c_str());
    fflush(stdout);
    server.listen_after_bind();
    stopper.join();
    return 0;
}
