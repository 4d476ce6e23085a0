#pragma once

// The words the window shows for the client's errors. German, like the rest
// of the window; a transport failure that has no wording of its own shows
// the system's description.

#include "mqtt/ClientError.h"

#include <string>

namespace telvane {

[[nodiscard]] std::string errorText(const ClientError& error);

}  // namespace telvane
