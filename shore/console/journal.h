// The log of everything done to the book: every check-in and every staff
// action (who, when, what, from which address). Tamper-evident: each entry
// carries the SHA-256 of itself and of the entry before, the last one's kept
// apart, so an entry edited, removed or put in between breaks the chain.
#pragma once

#include "commands.h"
#include "sql.h"
#include "store.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace shore {

struct JournalEntry {
    int64_t id = 0;
    int64_t at = 0;
    std::string who;      // "boat 7", a staff name, "cli:root"
    std::string address;  // where it came from; "local" for the command line
    std::string what;
    std::string prev_hash;
    std::string hash;
};

// Lower-case hex.
std::string sha256_hex(const std::string& data);

// Appends one entry inside the caller's transaction; call it last, as it
// makes every other writer of the journal wait for the commit.

void journal_append(SqlConnection& db, int64_t at, const std::string& who, const std::string& address,
                    const std::string& what);

struct JournalFilter {
    std::string who;   // a part of who
    std::string what;  // a part of what
    std::optional<int64_t> from, until;
    int64_t limit = 500;
};
// Newest first.
std::vector<JournalEntry> journal_entries(Store& store, const JournalFilter& filter);

// The entries as CSV: id,at,who,address,what,hash.
std::string journal_csv(const std::vector<JournalEntry>& entries);

// "log verify": the chain checked from the first entry to the last kept.
// Refusal naming the first entry that breaks it.
std::string verify_journal(Store& store);

// A staff order carried out, then logged. (Two transactions: a crash between
// them loses the line, never the order.)
std::string carry_out_logged(Store& store, const Order& order, int64_t now, const std::string& who,
                             const std::string& address);

}  // namespace shore
