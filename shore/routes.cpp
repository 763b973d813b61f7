// Every route of the shore server. A feature adds its routes with one line.
#include "server.h"

namespace shore {

void register_routes(httplib::Server& http, Store& store) {
    add_checkin_route(http, store);
}

}  // namespace shore
