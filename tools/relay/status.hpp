// SPDX-License-Identifier: Apache-2.0
// A tool's status lines: one per event, as text or as JSON lines.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

namespace zim_relay {

class Status {
 public:
  Status(std::ostream& out, bool json, std::string tool = "relay")
      : out_(out), json_(json), tool_(std::move(tool)) {}
  // "TOOL: EVENT: key: value; ..." or {"event": EVENT, key: value, ...};
  // strings are escaped for a terminal either way.
  void line(const std::string& event, const nlohmann::ordered_json& fields = {});

 private:
  std::ostream& out_;
  bool json_;
  std::string tool_;
};

}  // namespace zim_relay
