// Every route of the shore server. A feature adds its routes with one line.
#include "console/console.h"
#include "server.h"
#include "telemetry.h"

namespace shore {

void register_routes(httplib::Server& http, Store& store, const Settings& settings) {
    add_checkin_route(http, store);
    add_telemetry_routes(http, store, keep_days(settings));
    add_console_routes(http, store, settings);
}

}  // namespace shore
