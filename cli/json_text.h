#pragma once
// One JSON event as the line it is written as. A text that is not UTF-8 (a unit's text is escaped before it gets
// here, but a path or a message from the system might not be) has its bad bytes replaced by U+FFFD rather than
// stop the program with the JSON library's exception.

#include <nlohmann/json.hpp>
#include <string>

inline std::string JsonText(const nlohmann::json& event) {
  return event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
