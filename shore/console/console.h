// The harbour office's web console on the shore server: staff log in, sell
// time, watch the fleet and stop boats. Pages under /console/, their JSON
// under /api/; both carry out staff orders through carry_out(), as the
// command line does.
#pragma once

#include "settings.h"
#include "store.h"

namespace httplib {
class Server;
}

namespace shore {

void add_console_routes(httplib::Server& http, Store& store, const Settings& settings);

}  // namespace shore
