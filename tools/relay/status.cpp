// SPDX-License-Identifier: Apache-2.0
#include "status.hpp"

#include "codec/printable.hpp"

namespace zim_relay {

void Status::line(const std::string& event, const nlohmann::ordered_json& fields) {
  nlohmann::ordered_json doc{{"event", event}};
  std::string text = tool_ + ": " + event;
  const char* separator = ": ";
  for (const auto& [key, value] : fields.items()) {
    const std::string shown =
        value.is_string() ? zim_codec::printable(value.get<std::string>(), 400) : value.dump();
    doc[key] = value.is_string() ? nlohmann::ordered_json(shown) : value;
    text += separator + key + ": " + shown;
    separator = "; ";
  }
  out_ << (json_ ? doc.dump() : text) << std::endl;
}

}  // namespace zim_relay
