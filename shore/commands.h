// The staff orders: one implementation behind two doors, the command line
// (boat_shore boat add ...) and the web console's API, which pass the same
// command words and options. Each order checks its input before it touches
// the book, and a refused order changes nothing.
#pragma once

#include "store.h"

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

namespace shore {

// "--boat 3 --json" as {{"boat", "3"}, {"json", ""}}; positional words
// (on/off) under "".
using Options = std::map<std::string, std::string>;

struct Order {
    std::string command;  // "boat add", "sell", "status" ...
    Options options;
};

// The staff's view of the book.
nlohmann::json to_json(const BoatStatus& b, int64_t now);
nlohmann::json to_json(const Session& s);
nlohmann::json to_json(const Sale& s);

// Splits the words after the program's name (and --config) into an order.
// Throws Refusal for an unknown command or a malformed option.
Order parse_order(const std::vector<std::string>& words);

// Carries out one order (not "serve") at `now`; the text to print. Throws
// Refusal for bad input, SqlError when the database fails.
std::string carry_out(Store& store, const Order& order, int64_t now);

// Whether the order changes the book (and so goes to the log).
bool changes_book(const Order& order);

// Input checks shared with the check-in endpoint.
bool is_card_serial(const std::string& text);  // 0 to 20 hexadecimal digits
std::string lower_hex(const std::string& text);
// A boat number: decimal, 0 to 2147483647, as the terminals send it.
bool parse_boat_number(const std::string& text, int64_t* out);

}  // namespace shore
