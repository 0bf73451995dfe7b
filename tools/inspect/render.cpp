// SPDX-License-Identifier: Apache-2.0
#include "render.hpp"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "diagnostics.hpp"

namespace zim_inspect {

std::string printable(std::string_view text) { return tablegen::printable(text, size_t{16} << 20); }

namespace {

// Names come from a manifest, problems quote them, a pool's name comes from
// the command line.
std::string text(const Json& value) { return printable(value.get<std::string>()); }

// Numbers in hex and decimal; blocks of bytes as they are (hex).
std::string shown(const Json& value) {
  if (value.is_string()) return text(value);
  const uint64_t v = value.get<uint64_t>();
  return hex(v) + " (" + std::to_string(v) + ")";
}

std::string sizing_text(const Json& doc) {
  std::string text = "N " + doc["npus"].dump() + ", NPD size " + doc["npd_size"].dump();
  if (!doc["count"].is_null()) text += ", count " + doc["count"].dump();
  return text;
}

void print_problems(std::ostream& out, const Json& problems, const std::string& prefix) {
  for (const auto& p : problems) out << prefix << "problem: " << text(p) << "\n";
}

}  // namespace

void print_layout(std::ostream& out, const Json& layout) {
  out << text(layout["type"]) << " (table id " << layout["table_id"] << ", "
      << text(layout["class"]) << ") for " << sizing_text(layout) << ": " << layout["size"]
      << " bytes\n";
  char line[64];
  std::snprintf(line, sizeof line, "%10s %10s  ", "offset", "size");
  out << line << "region\n";
  for (const auto& r : layout["regions"]) {
    std::snprintf(line, sizeof line, "%10" PRIu64 " %10" PRIu64 "  ", r["offset"].get<uint64_t>(),
                  r["size"].get<uint64_t>());
    out << line << text(r["what"]) << "\n";
  }
}

void print_object(std::ostream& out, const Json& object) {
  out << text(object["type"]) << " (table id " << object["table_id"] << ")";
  if (!object.contains("size")) {
    out << "\n";
    print_problems(out, object["problems"], "");
    return;
  }
  out << " for " << sizing_text(object) << ": " << object["size"] << " bytes, "
      << (object["consistent"].get<bool>() ? "consistent" : "INCONSISTENT") << "\n";
  print_problems(out, object["problems"], "");
  out << "base header:";
  for (const auto& [name, value] : object["base_header"].items())
    out << " " << name << " " << shown(value);
  out << "\ntype header:";
  for (const auto& h : object["type_header"]) {
    out << " " << h["offset"] << ":" << h["width"] << " = " << shown(h["value"]);
  }
  out << "\n";
  for (const auto& f : object["fields"]) {
    out << "field " << text(f["name"]) << " at " << f["offset"] << ", flags at " << f["flag_at"]
        << ":";
    const auto& values = f["values"];
    for (size_t k = 0; k < values.size(); ++k) {
      out << (values.size() > 1 ? "\n  [" + std::to_string(k) + "] " : " ")
          << shown(values[k]["value"]) << " flag " << values[k]["flag"];
    }
    out << "\n";
  }
  for (const auto& a : object["arrays"]) {
    out << "array " << text(a["name"]) << " (" << text(a["kind"]) << ", " << a["length"] << " x "
        << a["elem_size"] << " bytes) data " << text(a["data_ptr"]) << " -> " << a["storage_at"]
        << ", flags " << text(a["flag_ptr"]) << " -> " << a["flags_at"] << "\n";
    const auto& elements = a["elements"];
    for (size_t k = 0; k < elements.size(); ++k) {
      out << "  [" << k << "] " << shown(elements[k]["value"]) << " flag " << elements[k]["flag"]
          << "\n";
    }
  }
}

void print_pool(std::ostream& out, const Json& pool) {
  out << "pool " << text(pool["pool"]) << ": " << pool["objects"] << " objects, " << pool["bytes"]
      << " bytes, " << (pool["consistent"].get<bool>() ? "consistent" : "INCONSISTENT") << "\n";
  for (const auto& t : pool["tables"]) {
    out << "table id " << t["table_id"] << " " << text(t["type"]) << ": " << t["objects"]
        << " objects, " << t["bytes"] << " bytes, " << t["problems"].size() << " problems\n";
    for (const auto& p : t["problems"]) {
      out << "  at offset " << p["offset"] << ": " << text(p["problem"]) << "\n";
    }
  }
  if (!pool["root"].is_null()) {
    const Json& root = pool["root"];
    out << "root record: " << root["size"] << " bytes at offset " << root["offset"]
        << (root["table_id"].is_null() ? " (an untyped block)\n" : " (no table object)\n");
  }
  for (const auto& u : pool["untyped"]) {
    out << "untyped block of " << u["size"] << " bytes at offset " << u["offset"] << "\n";
  }
  if (pool.contains("blocks")) {
    for (const auto& b : pool["blocks"]) {
      out << "object at offset " << b["offset"] << ": " << text(b["type"]) << " (table id "
          << b["table_id"] << "), " << b["size"] << " bytes, uid " << b["uid"] << "\n";
    }
  }
  for (const auto& d : pool["damaged"]) {
    out << "damaged: " << d["size"] << " bytes at offset " << d["offset"]
        << " are neither a block nor free space\n";
  }
}

void print_types(std::ostream& out, const Json& types) {
  char line[96];
  std::snprintf(line, sizeof line, "%8s  %-10s %10s  ", "table id", "class", "fixed size");
  out << line << "type\n";
  for (const auto& t : types["types"]) {
    std::snprintf(line, sizeof line, "%8" PRIu32 "  %-10s %10" PRIu32 "  ",
                  t["table_id"].get<uint32_t>(), t["class"].get<std::string>().c_str(),
                  t["fixed_size"].get<uint32_t>());
    out << line << text(t["type"]);
    if (t["takes_count"].get<bool>()) out << ", takes a count";
    if (t["per_npu_arrays"].get<bool>()) out << ", per-NPU arrays";
    out << "\n";
  }
}

}  // namespace zim_inspect
