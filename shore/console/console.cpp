#include "console.h"

#include "commands.h"
#include "journal.h"
#include "logins.h"
#include "pages.h"
#include "server.h"
#include "staff.h"

#include <httplib.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace shore {

namespace {

constexpr const char* kCookie = "boat_console";
constexpr const char* kCsrfHeader = "X-CSRF-Token";
constexpr const char* kLeafletDir = "/usr/share/javascript/leaflet/";
constexpr size_t kMaxLoginField = 256;
constexpr int kRecentCheckins = 20;
constexpr int64_t kMaxLogRows = 500;      // on the page
constexpr int64_t kMaxCsvRows = 1000000;  // in an export
constexpr size_t kRecentSessions = 10;
// Check-ins looked at to learn each boat's interval from its own periodic ones.
constexpr int64_t kIntervalWindow = 5000;

// Which staff orders the console may give, and who may give them.
struct ConsoleOrder {
    const char* path;     // /api/order/PATH
    const char* command;  // carry_out's command
    bool admin;
};
constexpr ConsoleOrder kOrders[] = {
    {"sell", "sell", false},           {"end", "end", false},
    {"kill", "kill", false},           {"release", "release", false},
    {"boat-add", "boat add", true},    {"boat-lockout", "boat lockout", true},
    {"fleet-lockout", "fleet lockout", true},
};

const char* const kSecurityHeaders[][2] = {
    {"Cache-Control", "no-store"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
};

std::string tiles_origin(const std::string& tiles) {
    const size_t scheme = tiles.find("://");
    if (scheme == std::string::npos) return "";
    const size_t end = tiles.find('/', scheme + 3);
    std::string origin = tiles.substr(0, end);
    // {s} sub-domains: any of them.
    const size_t s = origin.find("{s}");
    if (s != std::string::npos) origin.replace(s, 3, "*");
    return origin;
}

class Console {
public:
    Console(Store& store, const Settings& settings)
        : store_(store),
          settings_(settings),
          logins_(std::stol(settings.staff_session_seconds)),
          default_interval_(std::stol(settings.boat_interval)),
          dummy_hash_(hash_password(random_token())) {
        csp_ = "default-src 'self'; script-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:";
        if (!settings.map_tiles.empty()) csp_ += " " + tiles_origin(settings.map_tiles);
        csp_ += "; frame-ancestors 'none'; form-action 'self'";
    }

    void add_routes(httplib::Server& http);

private:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&, const Login&)>;

    enum class Need { page, read, write, admin };
    void route(httplib::Server& http, const char* method, const std::string& path, Need need, Handler h);

    void headers(httplib::Response& res) const {
        for (const auto& h : kSecurityHeaders) res.set_header(h[0], h[1]);
        res.set_header("Content-Security-Policy", csp_);
    }
    static void json_reply(httplib::Response& res, int status, const nlohmann::json& j) {
        res.status = status;
        res.set_content(j.dump() + "\n", "application/json");
    }
    static void refuse(httplib::Response& res, int status, const std::string& why) {
        json_reply(res, status, {{"error", why}});
    }
    static std::string token_of(const httplib::Request& req);
    std::optional<Login> login_of(const httplib::Request& req, bool* bearer);

    void login(const httplib::Request& req, httplib::Response& res);
    void board(httplib::Response& res);
    void journal_login(const std::string& name, const std::string& address) {
        store_.transact(Durability::full, [&](SqlConnection& db) { journal_append(db, now(), name, address, "login"); });
    }
    void boat(const httplib::Request& req, httplib::Response& res);
    void order(const ConsoleOrder& o, const httplib::Request& req, httplib::Response& res, const Login& login);
    void log(const httplib::Request& req, httplib::Response& res, bool csv);
    void leaflet(const httplib::Request& req, httplib::Response& res);
    std::map<int64_t, int64_t> intervals();
    int64_t now() const { return now_ms() / 1000; }

    Store& store_;
    const Settings settings_;
    Logins logins_;
    const int64_t default_interval_;
    const std::string dummy_hash_;  // unknown names cost what known ones do
    std::string csp_;
};

std::string Console::token_of(const httplib::Request& req) {
    // Cookie: a=b; boat_console=TOKEN
    const std::string cookies = req.get_header_value("Cookie");
    const std::string key = std::string(kCookie) + "=";
    size_t at = 0;
    while (at < cookies.size()) {
        size_t end = cookies.find(';', at);
        if (end == std::string::npos) end = cookies.size();
        std::string pair = cookies.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.rfind(key, 0) == 0) return pair.substr(key.size());
        at = end + 1;
    }
    return "";
}

std::optional<Login> Console::login_of(const httplib::Request& req, bool* bearer) {
    // A script's token stands in for the cookie; once given, only it counts.
    constexpr const char* kBearer = "Bearer ";
    *bearer = req.has_header("Authorization");
    if (!*bearer) return logins_.find(token_of(req), now());
    const std::string value = req.get_header_value("Authorization");
    if (value.rfind(kBearer, 0) != 0) return std::nullopt;
    const std::optional<Staff> staff = staff_of_token(store_, value.substr(std::strlen(kBearer)));
    if (!staff) return std::nullopt;
    return Login{staff->name, staff->role, "", 0};
}

void Console::route(httplib::Server& http, const char* method, const std::string& path, Need need, Handler h) {
    auto guarded = [this, need, h](const httplib::Request& req, httplib::Response& res) {
        headers(res);
        bool bearer = false;
        std::optional<Login> login;
        try {
            login = login_of(req, &bearer);
        } catch (const SqlError&) {
            return refuse(res, 503, "database unavailable");
        }
        if (!login) {
            if (need == Need::page) {
                res.status = 303;
                res.set_header("Location", "/console/login");
                return;
            }
            return refuse(res, 401, "not logged in (or the session has expired)");
        }
        // A browser never sends a bearer token by itself: no forged order can carry one.
        if (!bearer && (need == Need::write || need == Need::admin)) {
            const std::string sent = req.get_header_value(kCsrfHeader);
            if (sent.size() != login->csrf.size() || CRYPTO_memcmp(sent.data(), login->csrf.data(), sent.size()) != 0)
                return refuse(res, 403, "missing or wrong CSRF token");
        }
        if (need == Need::admin && login->role != kRoleAdmin) return refuse(res, 403, "an admin order; " + login->name + " is desk staff");
        try {
            h(req, res, *login);
        } catch (const Refusal& e) {
            refuse(res, 400, e.what());
        } catch (const SqlError&) {
            refuse(res, 503, "database unavailable");
        } catch (const nlohmann::json::exception&) {
            refuse(res, 400, "the body is not the JSON expected");
        }
    };
    if (std::string(method) == "GET") {
        http.Get(path, guarded);
    } else {
        http.Post(path, guarded);
    }
}

void Console::login(const httplib::Request& req, httplib::Response& res) {
    headers(res);
    nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("name") || !body.contains("password") || !body["name"].is_string() ||
        !body["password"].is_string())
        return refuse(res, 400, "a login is {\"name\": ..., \"password\": ...}");
    const std::string name = body["name"].get<std::string>();
    const std::string password = body["password"].get<std::string>();
    if (name.size() > kMaxLoginField || password.size() > kMaxLoginField) return refuse(res, 400, "name or password too long");
    const int64_t wait_ms = logins_.wait_before_try(name, req.remote_addr, now_ms());
    if (wait_ms > 0) {
        const int64_t wait = (wait_ms + 999) / 1000;
        res.set_header("Retry-After", std::to_string(wait));
        return refuse(res, 429, "too many failed logins; try again in " + std::to_string(wait) + " s");
    }
    std::optional<Staff> staff;
    bool ok = false;
    try {
        staff = find_staff(store_, name);
        ok = password_matches(staff ? staff->hash : dummy_hash_, password) && staff;
        if (ok) journal_login(name, req.remote_addr);
    } catch (const SqlError&) {
        return refuse(res, 503, "database unavailable");
    }
    if (!ok) {
        logins_.failed(name, req.remote_addr, now_ms());
        return refuse(res, 401, "wrong name or password");
    }
    const std::string token = logins_.open(staff->name, staff->role, req.remote_addr, now());
    std::string cookie = std::string(kCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                         settings_.staff_session_seconds;
    if (req.ssl) cookie += "; Secure";
    res.set_header("Set-Cookie", cookie);
    const std::optional<Login> l = logins_.find(token, now());
    json_reply(res, 200, {{"name", l->name}, {"role", l->role}, {"csrf", l->csrf}});
}

std::map<int64_t, int64_t> Console::intervals() {
    // Each boat's shortest gap between its last periodic check-ins.
    std::map<int64_t, int64_t> out;
    std::map<int64_t, int64_t> last;
    store_.read([&](SqlConnection& db) {
        auto rows = db.query(
            "SELECT boat, at FROM checkins WHERE kind = 'periodic' AND id > (SELECT coalesce(max(id), 0) FROM checkins) - $1 "
            "ORDER BY boat, id",
            {kIntervalWindow});
        for (const SqlRow& r : rows) {
            const int64_t boat = r[0].integer(), at = r[1].integer();
            auto l = last.find(boat);
            if (l != last.end() && at > l->second) {
                auto o = out.find(boat);
                const int64_t gap = at - l->second;
                if (o == out.end() || gap < o->second) out[boat] = gap;
            }
            last[boat] = at;
        }
    });
    return out;
}

void Console::board(httplib::Response& res) {
    const int64_t t = now();
    nlohmann::json boats = nlohmann::json::parse(carry_out(store_, parse_order({"status", "--json"}), t));
    const std::map<int64_t, int64_t> learnt = intervals();
    for (nlohmann::json& b : boats) {
        auto it = learnt.find(b["boat"].get<int64_t>());
        b["interval"] = it == learnt.end() ? default_interval_ : it->second;
    }
    const std::optional<int64_t> weather = fleet_lockout_since(store_);
    json_reply(res, 200,
               {{"now", t},
                {"boats", boats},
                {"fleet_lockout_since", weather ? nlohmann::json(*weather) : nlohmann::json(nullptr)},
                {"map", {{"tiles", settings_.map_tiles}, {"center", settings_.map_center}}}});
}

void Console::boat(const httplib::Request& req, httplib::Response& res) {
    int64_t number = 0;
    if (!parse_boat_number(req.get_param_value("boat"), &number)) return refuse(res, 400, "boat= is not a boat number");
    const int64_t t = now();
    nlohmann::json all = nlohmann::json::parse(carry_out(store_, parse_order({"status", "--json"}), t));
    nlohmann::json status;
    for (const nlohmann::json& b : all)
        if (b["boat"] == number) status = b;
    if (status.is_null()) return refuse(res, 404, "no boat " + std::to_string(number));
    const std::map<int64_t, int64_t> learnt = intervals();
    const int64_t interval = learnt.count(number) ? learnt.at(number) : default_interval_;
    status["interval"] = interval;

    nlohmann::json checkins = nlohmann::json::array();
    nlohmann::json kill = nullptr;
    store_.read([&](SqlConnection& db) {
        for (const SqlRow& r : db.query("SELECT at, card, kind, answer FROM checkins WHERE boat = $1 ORDER BY id DESC LIMIT $2",
                                        {number, kRecentCheckins}))
            checkins.push_back({{"at", r[0].integer()}, {"card", r[1].text}, {"kind", r[2].text}, {"answer", r[3].text}});
        auto k = db.query("SELECT ordered_at, answered_at, released_at FROM kills WHERE boat = $1 ORDER BY id DESC LIMIT 1",
                          {number});
        if (k.empty()) return;
        const int64_t ordered = k[0][0].integer();
        kill = {{"ordered_at", ordered},
                {"answered_at", k[0][1].null ? nlohmann::json(nullptr) : nlohmann::json(k[0][1].integer())},
                {"released_at", k[0][2].null ? nlohmann::json(nullptr) : nlohmann::json(k[0][2].integer())}};
        // The boat hears it at its next periodic check-in after the order.
        auto before = db.query("SELECT max(at) FROM checkins WHERE boat = $1 AND at <= $2", {number, ordered});
        if (before.empty() || before[0][0].null) {
            kill["expected_at"] = nullptr;
            return;
        }
        int64_t expected = before[0][0].integer() + interval;
        if (expected < ordered) expected += ((ordered - expected) / interval + 1) * interval;
        kill["expected_at"] = expected;
    });
    nlohmann::json sessions = nlohmann::json::array();
    std::vector<Session> list = store_.sessions(number, t);
    const size_t from = list.size() > kRecentSessions ? list.size() - kRecentSessions : 0;
    for (size_t i = list.size(); i > from; i--) sessions.push_back(to_json(list[i - 1]));
    json_reply(res, 200, {{"now", t}, {"boat", status}, {"checkins", checkins}, {"kill", kill}, {"sessions", sessions}});
}

void Console::order(const ConsoleOrder& o, const httplib::Request& req, httplib::Response& res, const Login& login) {
    // The body's fields become the command line's options: one door more to
    // the same orders, checked by the same code.
    const nlohmann::json body = nlohmann::json::parse(req.body.empty() ? "{}" : req.body);
    if (!body.is_object()) throw Refusal("the body is a JSON object of the order's options");
    std::vector<std::string> words;
    std::istringstream command(o.command);
    for (std::string w; command >> w;) words.push_back(w);
    for (auto it = body.begin(); it != body.end(); ++it) {
        std::string value;
        if (it.value().is_string()) {
            value = it.value().get<std::string>();
        } else if (it.value().is_number_integer()) {
            value = std::to_string(it.value().get<int64_t>());
        } else if (it.value().is_null()) {
            continue;
        } else {
            throw Refusal(it.key() + " is neither text nor a whole number");
        }
        if (value.empty()) continue;  // a field left blank on a form
        if (it.key() == "word") {
            words.push_back(value);
            continue;
        }
        if (it.key().empty() || it.key().rfind("-", 0) == 0 || value.rfind("--", 0) == 0) throw Refusal("bad field " + it.key());
        words.push_back("--" + it.key());
        words.push_back(value);
    }
    const Order parsed = parse_order(words);
    if (parsed.command != o.command) throw Refusal("bad order");
    json_reply(res, 200, {{"ok", true}, {"text", carry_out_logged(store_, parsed, now(), login.name, req.remote_addr)}});
}

void Console::log(const httplib::Request& req, httplib::Response& res, bool csv) {
    JournalFilter f;
    f.who = req.get_param_value("who");
    f.what = req.get_param_value("what");
    if (f.who.size() > kMaxLoginField || f.what.size() > kMaxLoginField) throw Refusal("a filter is at most 256 characters");
    for (const char* key : {"from", "until"}) {
        const std::string text = req.get_param_value(key);
        if (text.empty()) continue;
        if (text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
            throw Refusal(std::string(key) + "= is not seconds since 1970");
        (std::string(key) == "from" ? f.from : f.until) = std::stoll(text);
    }
    f.limit = csv ? kMaxCsvRows : kMaxLogRows;
    const std::vector<JournalEntry> entries = journal_entries(store_, f);
    if (csv) {
        res.set_header("Content-Disposition", "attachment; filename=\"boat-log.csv\"");
        res.set_content(journal_csv(entries), "text/csv; charset=utf-8");
        return;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const JournalEntry& e : entries)
        list.push_back({{"id", e.id}, {"at", e.at}, {"who", e.who}, {"address", e.address}, {"what", e.what}, {"hash", e.hash}});
    json_reply(res, 200, {{"now", now()}, {"entries", list}});
}

void Console::leaflet(const httplib::Request& req, httplib::Response& res) {
    // Only the library's own files, by a name of letters, digits, '-' and '.'.
    const std::string name = req.matches[1];
    if (name.find("..") != std::string::npos) return refuse(res, 404, "not found");
    std::ifstream in(kLeafletDir + name, std::ios::binary);
    if (!in) {
        res.status = 404;
        res.set_content("not found", "text/plain");
        return;
    }
    std::ostringstream body;
    body << in.rdbuf();
    const bool css = name.size() > 4 && name.compare(name.size() - 4, 4, ".css") == 0;
    const bool js = name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0;
    res.set_header("Cache-Control", "max-age=86400");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content(body.str(), css ? "text/css" : js ? "text/javascript" : "image/png");
}

void Console::add_routes(httplib::Server& http) {
    http.Get("/console", [](const httplib::Request&, httplib::Response& res) {
        res.status = 303;
        res.set_header("Location", "/console/");
    });
    http.Get("/console/login", [this](const httplib::Request&, httplib::Response& res) {
        headers(res);
        res.set_content(login_page(), "text/html; charset=utf-8");
    });
    http.Get("/console/console.css", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_content(console_css(), "text/css");
    });
    http.Get("/console/console.js", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_content(console_js(), "text/javascript");
    });
    http.Get(R"(/console/leaflet/((?:images/)?[A-Za-z0-9.-]+\.(?:js|css|png)))",
             [this](const httplib::Request& req, httplib::Response& res) { leaflet(req, res); });
    http.Post("/api/login", [this](const httplib::Request& req, httplib::Response& res) { login(req, res); });

    route(http, "GET", "/console/", Need::page,
          [](const httplib::Request&, httplib::Response& res, const Login& l) {
              res.set_content(board_page(l), "text/html; charset=utf-8");
          });
    route(http, "GET", "/console/sell", Need::page,
          [](const httplib::Request&, httplib::Response& res, const Login& l) {
              res.set_content(sell_page(l), "text/html; charset=utf-8");
          });
    route(http, "GET", "/console/boat", Need::page,
          [](const httplib::Request& req, httplib::Response& res, const Login& l) {
              int64_t n = 0;
              if (!parse_boat_number(req.get_param_value("boat"), &n)) throw Refusal("boat= is not a boat number");
              res.set_content(boat_page(l, n), "text/html; charset=utf-8");
          });
    route(http, "GET", "/api/me", Need::read, [](const httplib::Request&, httplib::Response& res, const Login& l) {
        json_reply(res, 200, {{"name", l.name}, {"role", l.role}, {"csrf", l.csrf}, {"expires_at", l.expires_at}});
    });
    route(http, "POST", "/api/logout", Need::write, [this](const httplib::Request& req, httplib::Response& res, const Login&) {
        logins_.close(token_of(req));
        res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
        json_reply(res, 200, {{"ok", true}});
    });
    route(http, "GET", "/api/board", Need::read,
          [this](const httplib::Request&, httplib::Response& res, const Login&) { board(res); });
    route(http, "GET", "/api/boat", Need::read,
          [this](const httplib::Request& req, httplib::Response& res, const Login&) { boat(req, res); });
    for (const ConsoleOrder& o : kOrders)
        route(http, "POST", std::string("/api/order/") + o.path, o.admin ? Need::admin : Need::write,
              [this, &o](const httplib::Request& req, httplib::Response& res, const Login& l) { order(o, req, res, l); });
    route(http, "GET", "/api/log", Need::read,
          [this](const httplib::Request& req, httplib::Response& res, const Login&) { log(req, res, false); });
    route(http, "GET", "/api/log.csv", Need::read,
          [this](const httplib::Request& req, httplib::Response& res, const Login&) { log(req, res, true); });
    route(http, "GET", "/console/log", Need::page, [](const httplib::Request&, httplib::Response& res, const Login& l) {
        res.set_content(log_page(l), "text/html; charset=utf-8");
    });
}

}  // namespace

void add_console_routes(httplib::Server& http, Store& store, const Settings& settings) {
    // Lives as long as the server, which lives until the program ends.
    static std::unique_ptr<Console> console;
    console = std::make_unique<Console>(store, settings);
    console->add_routes(http);
}

}  // namespace shore
