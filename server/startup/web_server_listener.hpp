#pragma once
// The program's listener: the one-port web server of server/http behind the
// application object's TListener seam.

#include <memory>
#include <string>

#include "server/startup/listener.hpp"

namespace vexa {

std::unique_ptr<TListener> MakeWebServerListener(int port, const std::string& host);

}  // namespace vexa
