// The shore's HTTP(S) server: the check-in endpoint, and the routes other
// features register through register_routes().
#pragma once

#include "settings.h"
#include "store.h"

#include <cstdint>
#include <string>

namespace httplib {
class Server;
}

namespace shore {

inline constexpr const char* kCheckinPath = "/hullgate/checkin.php";

// Every route of the server, on `http` over `store`; a feature adds its
// own with one line here.
void register_routes(httplib::Server& http, Store& store);

// GET /hullgate/checkin.php?RFID=HEX&BoatID=N[&Kind=card|periodic].
void add_checkin_route(httplib::Server& http, Store& store);

// Milliseconds since the epoch, the clock of every decision.
int64_t now_ms();

// Serves until SIGTERM or SIGINT; the program's exit status. Tells systemd
// READY and feeds its watchdog when NOTIFY_SOCKET is set.
int serve(const Settings& settings, Store& store);

}  // namespace shore
