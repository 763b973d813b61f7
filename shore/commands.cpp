#include "commands.h"

#include <cctype>
#include <set>

namespace shore {

namespace {

constexpr int64_t kMaxBoatNumber = 2147483647;  // the terminals' int
constexpr size_t kMaxSerialDigits = 20;         // a 10-byte serial
constexpr size_t kMaxNameLength = 64;
// One sale: from a second to a year of boating.
constexpr int64_t kMaxSaleSeconds = kMaxGrantSeconds;

bool parse_int(const std::string& text, int64_t max, int64_t* out) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const int64_t v = std::stoll(text);
    if (v > max) return false;
    *out = v;
    return true;
}

const std::string& need(const Options& o, const std::string& key) {
    auto it = o.find(key);
    if (it == o.end() || it->second.empty()) throw Refusal("--" + key + " is missing");
    return it->second;
}

bool has(const Options& o, const std::string& key) { return o.count(key) != 0; }

int64_t boat_option(const Options& o) {
    int64_t n = 0;
    const std::string& text = need(o, "boat");
    if (!parse_boat_number(text, &n)) throw Refusal("--boat " + text + " is not a boat number (0 to 2147483647)");
    return n;
}

int64_t time_option(const Options& o, const std::string& key) {
    int64_t t = 0;
    const std::string& text = need(o, key);
    if (!parse_int(text, 99999999999LL, &t)) throw Refusal("--" + key + " " + text + " is not a time in seconds since 1970");
    return t;
}

// Which options each command takes, and whether it takes a word (on|off).
struct Command {
    const char* name;
    std::set<std::string> options;
    bool word;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> list = {
        {"boat add", {"boat", "name", "kind"}, false},
        {"boat list", {"json"}, false},
        {"boat lockout", {"boat"}, true},
        {"sell", {"card", "seconds", "boat", "from", "until"}, false},
        {"end", {"boat"}, false},
        {"kill", {"boat"}, false},
        {"release", {"boat"}, false},
        {"status", {"json"}, false},
        {"sessions", {"json", "boat"}, false},
        {"sales", {"json"}, false},
        {"serve", {}, false},
    };
    return list;
}

std::string opt_text(const std::optional<int64_t>& v) { return v ? std::to_string(*v) : "-"; }

nlohmann::json opt_json(const std::optional<int64_t>& v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); }

std::string sale_line(const Sale& s) {
    return "sale " + std::to_string(s.id) + " card " + s.card + " seconds " + std::to_string(s.seconds) + " boat " +
           (s.boat ? std::to_string(*s.boat) : "any") + " valid " + std::to_string(s.valid_from) + ".." +
           opt_text(s.valid_until) + "\n";
}

std::string status_line(const BoatStatus& b, int64_t now) {
    std::string line = "boat " + std::to_string(b.boat.number);
    if (b.session) {
        line += " running card " + b.session->card + " paid_end " + std::to_string(b.session->paid_end) + " (" +
                std::to_string(b.session->paid_end - now) + " s left)";
    } else {
        line += " stopped";
    }
    line += " last_checkin ";
    line += b.boat.last_checkin_at
                ? std::to_string(*b.boat.last_checkin_at) + " (" + std::to_string(now - *b.boat.last_checkin_at) + " s ago)"
                : "never";
    if (b.kill) line += " KILL pending since " + std::to_string(b.kill->ordered_at);
    if (b.boat.lockout) line += " lockout";
    line += " kind ";
    line += !b.boat.sends_kind ? "unknown" : *b.boat.sends_kind ? "sent" : "not sent";
    return line + "\n";
}

std::string dump(const nlohmann::json& j) { return j.dump() + "\n"; }

}  // namespace

bool is_card_serial(const std::string& text) {
    if (text.size() > kMaxSerialDigits) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string lower_hex(const std::string& text) {
    std::string out = text;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool parse_boat_number(const std::string& text, int64_t* out) { return parse_int(text, kMaxBoatNumber, out); }

nlohmann::json to_json(const BoatStatus& b, int64_t now) {
    nlohmann::json j;
    j["boat"] = b.boat.number;
    j["name"] = b.boat.name;
    j["kind"] = b.boat.kind;
    j["lockout"] = b.boat.lockout;
    j["running"] = b.session.has_value();
    j["session"] = b.session ? nlohmann::json(b.session->id) : nlohmann::json(nullptr);
    j["card"] = b.session ? nlohmann::json(b.session->card) : nlohmann::json(nullptr);
    j["paid_end"] = b.session ? nlohmann::json(b.session->paid_end) : nlohmann::json(nullptr);
    j["last_checkin_at"] = opt_json(b.boat.last_checkin_at);
    j["last_checkin_age"] = b.boat.last_checkin_at ? nlohmann::json(now - *b.boat.last_checkin_at) : nlohmann::json(nullptr);
    j["kill_pending"] = b.kill.has_value();
    j["kill_ordered_at"] = b.kill ? nlohmann::json(b.kill->ordered_at) : nlohmann::json(nullptr);
    // When the boat was first answered KILL: the order has reached it.
    j["kill_answered_at"] = b.kill ? opt_json(b.kill->answered_at) : nlohmann::json(nullptr);
    j["sends_kind"] = b.boat.sends_kind ? nlohmann::json(*b.boat.sends_kind) : nlohmann::json(nullptr);
    return j;
}

nlohmann::json to_json(const Session& s) {
    return {{"id", s.id},
            {"boat", s.boat},
            {"card", s.card},
            {"started_at", s.started_at},
            {"paid_end", s.paid_end},
            {"ended_at", opt_json(s.ended_at)},
            {"end_reason", s.ended_at ? nlohmann::json(s.end_reason) : nlohmann::json(nullptr)}};
}

nlohmann::json to_json(const Sale& s) {
    return {{"id", s.id},
            {"card", s.card},
            {"seconds", s.seconds},
            {"boat", opt_json(s.boat)},
            {"valid_from", s.valid_from},
            {"valid_until", opt_json(s.valid_until)},
            {"sold_at", s.sold_at},
            {"session", opt_json(s.session)}};
}

Order parse_order(const std::vector<std::string>& words) {
    if (words.empty()) throw Refusal("no command given (serve, boat, sell, end, kill, release, status, sessions, sales)");
    Order order;
    size_t i = 1;
    order.command = words[0];
    if (words[0] == "boat") {
        if (words.size() < 2) throw Refusal("boat needs add, list or lockout");
        order.command += " " + words[1];
        i = 2;
    }
    const Command* command = nullptr;
    for (const Command& c : commands())
        if (order.command == c.name) command = &c;
    if (!command) throw Refusal("unknown command \"" + order.command + "\"");
    for (; i < words.size(); i++) {
        const std::string& w = words[i];
        if (w.rfind("--", 0) != 0) {
            if (!command->word || has(order.options, "")) throw Refusal("unexpected \"" + w + "\"");
            order.options[""] = w;
            continue;
        }
        const std::string key = w.substr(2);
        if (!command->options.count(key)) throw Refusal(order.command + " takes no option " + w);
        if (has(order.options, key)) throw Refusal(w + " given twice");
        if (key == "json") {
            order.options[key] = "";
            continue;
        }
        if (i + 1 >= words.size()) throw Refusal(w + " needs a value");
        order.options[key] = words[++i];
    }
    return order;
}

std::string carry_out(Store& store, const Order& order, int64_t now) {
    const Options& o = order.options;
    const std::string& c = order.command;
    const bool json = has(o, "json");
    if (c == "boat add") {
        Boat b;
        b.number = boat_option(o);
        b.name = has(o, "name") ? o.at("name") : "";
        b.kind = has(o, "kind") ? o.at("kind") : "checkin";
        if (b.kind != "checkin" && b.kind != "tracker") throw Refusal("--kind must be checkin or tracker");
        if (b.name.size() > kMaxNameLength) throw Refusal("--name is longer than 64 characters");
        for (char ch : b.name)
            if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) throw Refusal("--name holds a control character");
        store.add_boat(b);
        return "boat " + std::to_string(b.number) + " added\n";
    }
    if (c == "boat list") {
        std::string out;
        nlohmann::json list = nlohmann::json::array();
        for (const Boat& b : store.boats()) {
            out += "boat " + std::to_string(b.number) + " kind " + b.kind + " lockout " + (b.lockout ? "on" : "off") +
                   " name " + b.name + "\n";
            list.push_back({{"boat", b.number}, {"name", b.name}, {"kind", b.kind}, {"lockout", b.lockout}});
        }
        return json ? dump(list) : out;
    }
    if (c == "boat lockout") {
        const int64_t boat = boat_option(o);
        const std::string word = has(o, "") ? o.at("") : "";
        if (word != "on" && word != "off") throw Refusal("boat lockout needs on or off");
        store.set_lockout(boat, word == "on");
        return "boat " + std::to_string(boat) + " lockout " + word + "\n";
    }
    if (c == "sell") {
        Sale s;
        const std::string& card = need(o, "card");
        if (!is_card_serial(card)) throw Refusal("--card " + card + " is not a card serial (1 to 20 hexadecimal digits)");
        s.card = lower_hex(card);
        const std::string& seconds = need(o, "seconds");
        if (!parse_int(seconds, kMaxSaleSeconds, &s.seconds) || s.seconds < 1)
            throw Refusal("--seconds " + seconds + " is not a whole number of seconds from 1 to " +
                          std::to_string(kMaxSaleSeconds));
        if (has(o, "boat")) s.boat = boat_option(o);
        s.valid_from = has(o, "from") ? time_option(o, "from") : now;
        if (has(o, "until")) {
            s.valid_until = time_option(o, "until");
            if (*s.valid_until <= s.valid_from) throw Refusal("--until must be after --from");
            if (*s.valid_until <= now) throw Refusal("--until is in the past");
        }
        return sale_line(store.sell(s, now));
    }
    if (c == "end") {
        const Session s = store.end_session(boat_option(o), now);
        return "boat " + std::to_string(s.boat) + " session " + std::to_string(s.id) + " ended at " +
               std::to_string(now) + "\n";
    }
    if (c == "kill") {
        const int64_t boat = boat_option(o);
        return "boat " + std::to_string(boat) + (store.kill(boat, now) ? " kill ordered\n" : " kill was pending already\n");
    }
    if (c == "release") {
        const int64_t boat = boat_option(o);
        return "boat " + std::to_string(boat) + (store.release(boat, now) ? " released\n" : " had no kill order\n");
    }
    if (c == "status") {
        std::string out;
        nlohmann::json list = nlohmann::json::array();
        for (const BoatStatus& b : store.status(now)) {
            out += status_line(b, now);
            list.push_back(to_json(b, now));
        }
        return json ? dump(list) : out;
    }
    if (c == "sessions") {
        std::optional<int64_t> boat;
        if (has(o, "boat")) boat = boat_option(o);
        nlohmann::json list = nlohmann::json::array();
        for (const Session& s : store.sessions(boat, now)) list.push_back(to_json(s));
        return dump(list);
    }
    if (c == "sales") {
        nlohmann::json list = nlohmann::json::array();
        for (const Sale& s : store.sales()) list.push_back(to_json(s));
        return dump(list);
    }
    throw Refusal("\"" + c + "\" is not an order for the book");
}

}  // namespace shore
