// The console's pages, made by the server: each a plain HTML shell whose
// script fills it from /api/; the CSRF token rides on every form.
#pragma once

#include "logins.h"

#include <cstdint>
#include <string>

namespace shore {

std::string login_page();
std::string board_page(const Login& login);
std::string sell_page(const Login& login);
std::string log_page(const Login& login);
std::string boat_page(const Login& login, int64_t boat);
const std::string& console_css();
const std::string& console_js();

}  // namespace shore
