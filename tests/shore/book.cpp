#include "book.h"

#include "private_mounts.h"

#include <unistd.h>

namespace shoretest {

std::string SqliteBooks::fresh() { return "sqlite:" + dir_.file("book" + std::to_string(++count_) + ".db"); }

bool PostgresBooks::ready(std::string* why) {
    if (started_) return true;
    if (geteuid() != 0) {
        *why = "needs root for a network of its own";
        return false;
    }
    if (!testsupport::enter_private_network(why)) return false;
    if (!pg_.start()) {
        *why = pg_.error();
        return false;
    }
    started_ = true;
    return true;
}

std::string PostgresBooks::fresh() {
    if (!pg_.query("DROP SCHEMA public CASCADE; CREATE SCHEMA public AUTHORIZATION shore")) return "";
    return pg_.uri();
}

std::unique_ptr<Books> make_books(const std::string& which) {
    if (which == "postgresql") return std::make_unique<PostgresBooks>();
    return std::make_unique<SqliteBooks>();
}

}  // namespace shoretest
