#include "render.hpp"

#include <cinttypes>
#include <cstdio>
#include <string>

namespace zim_inspect {
namespace {

// Numbers in hex and decimal; blocks of bytes as they are (hex).
std::string shown(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  const uint64_t v = value.get<uint64_t>();
  return hex(v) + " (" + std::to_string(v) + ")";
}

std::string sizing_text(const json& doc) {
  std::string text = "N " + doc["npus"].dump() + ", NPD size " + doc["npd_size"].dump();
  if (!doc["count"].is_null()) text += ", count " + doc["count"].dump();
  return text;
}

void print_problems(std::ostream& out, const json& problems, const std::string& prefix) {
  for (const auto& p : problems) out << prefix << "problem: " << p.get<std::string>() << "\n";
}

}  // namespace

void print_layout(std::ostream& out, const json& layout) {
  out << layout["type"].get<std::string>() << " (table id " << layout["table_id"] << ", "
      << layout["class"].get<std::string>() << ") for " << sizing_text(layout) << ": "
      << layout["size"] << " bytes\n";
  char line[64];
  std::snprintf(line, sizeof line, "%10s %10s  ", "offset", "size");
  out << line << "region\n";
  for (const auto& r : layout["regions"]) {
    std::snprintf(line, sizeof line, "%10" PRIu64 " %10" PRIu64 "  ", r["offset"].get<uint64_t>(),
                  r["size"].get<uint64_t>());
    out << line << r["what"].get<std::string>() << "\n";
  }
}

void print_object(std::ostream& out, const json& object) {
  out << object["type"].get<std::string>() << " (table id " << object["table_id"] << ")";
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
    out << "field " << f["name"].get<std::string>() << " at " << f["offset"] << ", flags at "
        << f["flag_at"] << ":";
    const auto& values = f["values"];
    for (size_t k = 0; k < values.size(); ++k) {
      out << (values.size() > 1 ? "\n  [" + std::to_string(k) + "] " : " ")
          << shown(values[k]["value"]) << " flag " << values[k]["flag"];
    }
    out << "\n";
  }
  for (const auto& a : object["arrays"]) {
    out << "array " << a["name"].get<std::string>() << " (" << a["kind"].get<std::string>() << ", "
        << a["length"] << " x " << a["elem_size"] << " bytes) data "
        << a["data_ptr"].get<std::string>() << " -> " << a["storage_at"] << ", flags "
        << a["flag_ptr"].get<std::string>() << " -> " << a["flags_at"] << "\n";
    const auto& elements = a["elements"];
    for (size_t k = 0; k < elements.size(); ++k) {
      out << "  [" << k << "] " << shown(elements[k]["value"]) << " flag " << elements[k]["flag"]
          << "\n";
    }
  }
}

void print_pool(std::ostream& out, const json& pool) {
  out << "pool " << pool["pool"].get<std::string>() << ": " << pool["objects"] << " objects, "
      << pool["bytes"] << " bytes, "
      << (pool["consistent"].get<bool>() ? "consistent" : "INCONSISTENT") << "\n";
  for (const auto& t : pool["tables"]) {
    out << "table id " << t["table_id"] << " " << t["type"].get<std::string>() << ": "
        << t["objects"] << " objects, " << t["bytes"] << " bytes, " << t["problems"].size()
        << " problems\n";
    for (const auto& p : t["problems"]) {
      out << "  at offset " << p["offset"] << ": " << p["problem"].get<std::string>() << "\n";
    }
  }
  if (!pool["root"].is_null()) {
    out << "root record: " << pool["root"]["size"] << " bytes at offset " << pool["root"]["offset"]
        << " (no table object)\n";
  }
  for (const auto& d : pool["damaged"]) {
    out << "damaged: " << d["size"] << " bytes at offset " << d["offset"]
        << " are neither a block nor free space\n";
  }
}

}  // namespace zim_inspect
