#include "pages.h"

namespace shore {

namespace {

std::string escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string head(const std::string& title, bool map) {
    std::string h = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                    "<title>" + escape(title) + " · harbour office</title>";
    if (map) h += "<link rel=\"stylesheet\" href=\"/console/leaflet/leaflet.css\">";
    h += "<link rel=\"stylesheet\" href=\"/console/console.css\">";
    if (map) h += "<script src=\"/console/leaflet/leaflet.js\" defer></script>";
    h += "<script src=\"/console/console.js\" defer></script></head>\n";
    return h;
}

// The frame of every page after login: the menu, who is logged in, the
// session's CSRF token for the scripts.
std::string page(const Login& login, const std::string& name, const std::string& title, const std::string& body,
                 bool map, const std::string& data = "") {
    std::string link = [&] {
        std::string l;
        for (const auto& item : {std::pair<const char*, const char*>{"board", "/console/"}, {"sell", "/console/sell"}, {"log", "/console/log"}}) {
            l += std::string("<a href=\"") + item.second + "\"" + (name == item.first ? " class=\"here\"" : "") + ">" +
                 (std::string(item.first) == "board" ? "Fleet board" : std::string(item.first) == "sell" ? "Sell" : "Log") + "</a>";
        }
        return l;
    }();
    return head(title, map) + "<body data-page=\"" + name + "\" data-csrf=\"" + escape(login.csrf) + "\" data-role=\"" +
           escape(login.role) + "\"" + data + ">\n<header><strong>Harbour office</strong><nav>" + link +
           "</nav><span class=\"who\">" + escape(login.name) + " (" + escape(login.role) +
           ") <form id=\"logout\" class=\"inline\"><input type=\"hidden\" name=\"csrf\" value=\"" + escape(login.csrf) +
           "\"><button>Log out</button></form></span></header>\n<main>" + body + "</main>\n</body></html>\n";
}

std::string csrf_field(const Login& login) {
    return "<input type=\"hidden\" name=\"csrf\" value=\"" + escape(login.csrf) + "\">";
}

}  // namespace

std::string login_page() {
    return head("Log in", false) +
           "<body data-page=\"login\"><main class=\"login\"><h1>Harbour office</h1>"
           "<form id=\"login\"><label>Name <input name=\"name\" autocomplete=\"username\" required maxlength=\"32\"></label>"
           "<label>Password <input name=\"password\" type=\"password\" autocomplete=\"current-password\" required "
           "maxlength=\"256\"></label><button>Log in</button><p class=\"message\" id=\"message\"></p></form></main>"
           "</body></html>\n";
}

std::string board_page(const Login& login) {
    std::string weather = "<p class=\"weather\" id=\"weather\" hidden></p>";
    if (login.role == "admin")
        weather += "<div class=\"actions\"><form class=\"inline order\" data-order=\"fleet-lockout\" data-word=\"on\">" +
                   csrf_field(login) + "<button>Weather lockout</button></form><form class=\"inline order\" "
                   "data-order=\"fleet-lockout\" data-word=\"off\">" + csrf_field(login) +
                   "<button>Lift weather lockout</button></form></div>";
    return page(login, "board", "Fleet board",
                weather + "<section class=\"board\"><div id=\"map\" class=\"map\"></div><div class=\"fleet\">"
                "<p class=\"summary\" id=\"summary\">Loading…</p><table id=\"fleet\"><thead><tr><th>Boat</th><th>State</th>"
                "<th>Card</th><th>Paid end</th><th>Left</th><th>Last check-in</th><th>Link</th><th>Position</th>"
                "</tr></thead><tbody></tbody></table></div></section>",
                true);
}

std::string sell_page(const Login& login) {
    return page(login, "sell", "Sell",
                "<h1>Sell time</h1><form id=\"sell\" class=\"order\">" + csrf_field(login) +
                    "<label>Card <input name=\"card\" required maxlength=\"20\" pattern=\"[0-9A-Fa-f]{1,20}\" "
                    "placeholder=\"hex serial\" autofocus></label>"
                    "<label>Time <select name=\"seconds\"><option value=\"1800\">30 min</option>"
                    "<option value=\"3600\" selected>1 hour</option><option value=\"7200\">2 hours</option>"
                    "<option value=\"14400\">4 hours</option><option value=\"28800\">a day (8 hours)</option></select></label>"
                    "<label>Boat <input name=\"boat\" inputmode=\"numeric\" pattern=\"[0-9]*\" placeholder=\"any\"></label>"
                    "<button>Sell</button></form><p class=\"message\" id=\"message\"></p>"
                    "<pre class=\"receipt\" id=\"receipt\"></pre>",
                false);
}

std::string log_page(const Login& login) {
    return page(login, "log", "Log",
                "<h1>Log</h1><form id=\"filter\" class=\"order\">" + csrf_field(login) +
                    "<label class=\"inline\">Who <input name=\"who\" maxlength=\"256\" placeholder=\"anna, boat 7\"></label> "
                    "<label class=\"inline\">What <input name=\"what\" maxlength=\"256\" placeholder=\"kill\"></label> "
                    "<label class=\"inline\">From <input name=\"from\" type=\"datetime-local\"></label> "
                    "<label class=\"inline\">Until <input name=\"until\" type=\"datetime-local\"></label> "
                    "<button>Filter</button> <a id=\"csv\" href=\"/api/log.csv\">CSV</a></form>"
                    "<p class=\"message\" id=\"message\"></p><table id=\"log\"><thead><tr><th>#</th><th>When</th>"
                    "<th>Who</th><th>From</th><th>What</th></tr></thead><tbody></tbody></table>",
                false);
}

std::string boat_page(const Login& login, int64_t boat) {
    const std::string n = std::to_string(boat);
    const std::string f = csrf_field(login);
    std::string admin;
    if (login.role == "admin")
        admin = "<form class=\"inline order\" data-order=\"boat-lockout\" data-word=\"on\">" + f +
                "<button>Lock out</button></form><form class=\"inline order\" data-order=\"boat-lockout\" "
                "data-word=\"off\">" + f + "<button>Lift lockout</button></form>";
    return page(login, "boat", "Boat " + n,
                "<h1>Boat " + n + " <span id=\"name\"></span></h1><p class=\"state\" id=\"state\"></p>"
                "<div class=\"actions\"><form class=\"inline order\" data-order=\"end\">" + f +
                    "<button>End session</button></form><form class=\"inline order\" data-order=\"kill\">" + f +
                    "<button class=\"danger\">Kill</button></form><form class=\"inline order\" data-order=\"release\">" + f +
                    "<button>Release kill</button></form>" + admin +
                    "</div><p class=\"message\" id=\"message\"></p><h2>Kill</h2><dl id=\"kill\"></dl>"
                    "<h2>Sessions</h2><table id=\"sessions\"><thead><tr><th>Id</th><th>Card</th><th>Started</th>"
                    "<th>Paid end</th><th>Ended</th><th>Why</th></tr></thead><tbody></tbody></table>"
                    "<h2>Check-ins</h2><table id=\"checkins\"><thead><tr><th>At</th><th>Kind</th><th>Card</th>"
                    "<th>Answer</th></tr></thead><tbody></tbody></table>",
                false, " data-boat=\"" + n + "\"");
}

}  // namespace shore
