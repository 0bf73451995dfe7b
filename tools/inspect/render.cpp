// SPDX-License-Identifier: Apache-2.0
#include "render.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "codec/printable.hpp"

namespace zim_inspect {

std::string printable(std::string_view text) {
  return zim_codec::printable(text, size_t{16} << 20);
}

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

namespace {

class TextWriter final : public ObjectWriter {
 public:
  explicit TextWriter(std::ostream& out) : out_(out) {}

  void head(const Json& object) override {
    out_ << text(object["type"]) << " (table id " << object["table_id"] << ")";
    if (!object.contains("size")) {
      out_ << "\n";
      print_retired(object);
      print_problems(out_, object["problems"], "");
      return;
    }
    out_ << " for " << sizing_text(object) << ": " << object["size"] << " bytes, "
         << (object["consistent"].get<bool>() ? "consistent" : "INCONSISTENT") << "\n";
    print_retired(object);
    print_problems(out_, object["problems"], "");
    out_ << "base header:";
    for (const auto& [name, value] : object["base_header"].items())
      out_ << " " << name << " " << shown(value);
    out_ << "\ntype header:";
    for (const auto& h : object["type_header"]) {
      out_ << " " << h["offset"] << ":" << h["width"] << " = " << shown(h["value"]);
    }
    out_ << "\n";
  }

  void section(const char* name) override {
    end_entry();
    fields_ = std::string(name) == "fields";
  }

  void entry(const Json& about, uint64_t items) override {
    end_entry();
    if (fields_) {
      out_ << "field " << text(about["name"]) << " at " << about["offset"] << ", flags at "
           << about["flag_at"] << ":";
    } else {
      out_ << "array " << text(about["name"]) << " (" << text(about["kind"]) << ", "
           << about["length"] << " x " << about["elem_size"] << " bytes) data "
           << text(about["data_ptr"]) << " -> " << about["storage_at"] << ", flags "
           << text(about["flag_ptr"]) << " -> " << about["flags_at"] << "\n";
    }
    in_entry_ = true;
    items_ = items;
    index_ = 0;
  }

  void item(const Value& value, unsigned flag) override {
    if (fields_ && items_ == 1) {
      out_ << " ";
    } else {
      out_ << (fields_ ? "\n  [" : "  [") << index_ << "] ";
    }
    put_value(out_, value, false);
    out_ << " flag " << flag << (fields_ ? "" : "\n");
    ++index_;
  }

  void finish() override { end_entry(); }

 private:
  void end_entry() {
    if (in_entry_ && fields_) out_ << "\n";
    in_entry_ = false;
  }

  void print_retired(const Json& object) {
    if (object.value("retired", false)) {
      out_ << "retired block: no live object (a migration replaced it, or it was retired)\n";
    }
  }

  std::ostream& out_;
  bool fields_ = false, in_entry_ = false;
  uint64_t items_ = 0, index_ = 0;
};

// Writes one JSON document as Json::dump(2) lays it out, a piece at a time.
class JsonStream {
 public:
  explicit JsonStream(std::ostream& out) : out_(out) {}

  // An object ('{') or array ('['), as a member named `key` of the object
  // open, or an element of the array open.
  void open(char bracket, const char* key = nullptr) {
    start(key);
    out_ << bracket;
    open_.push_back({bracket == '{' ? '}' : ']', false});
  }
  void close() {
    const Level level = open_.back();
    open_.pop_back();
    if (level.filled) newline();
    out_ << level.closer;
  }
  // A whole value, laid out at the depth it lands at.
  void put(const Json& value, const char* key = nullptr) {
    start(key);
    for (const char c : value.dump(2, ' ', false, Json::error_handler_t::replace)) {
      if (c == '\n') {
        newline();
      } else {
        out_ << c;
      }
    }
  }
  // Where the caller writes a value of its own.
  std::ostream& raw(const char* key) {
    start(key);
    return out_;
  }
  size_t depth() const { return open_.size(); }

 private:
  struct Level {
    char closer;
    bool filled;
  };
  void start(const char* key) {
    if (!open_.empty()) {
      if (open_.back().filled) out_ << ',';
      newline();
      open_.back().filled = true;
    }
    if (key) out_ << '"' << key << "\": ";  // the documented keys, none needing escapes
  }
  // A new line, indented to the depth open.
  void newline() {
    out_ << '\n';
    for (size_t i = 0; i < open_.size(); ++i) out_ << "  ";
  }

  std::ostream& out_;
  std::vector<Level> open_;
};

class JsonWriter final : public ObjectWriter {
 public:
  explicit JsonWriter(std::ostream& out) : json_(out) {}

  void head(const Json& object) override {
    json_.open('{');
    for (const auto& [key, value] : object.items()) json_.put(value, key.c_str());
  }
  void section(const char* name) override {
    close_to(1);
    json_.open('[', name);
    list_ = std::string(name) == "fields" ? "values" : "elements";
  }
  void entry(const Json& about, uint64_t) override {
    close_to(2);
    json_.open('{');
    for (const auto& [key, value] : about.items()) json_.put(value, key.c_str());
    json_.open('[', list_);
  }
  void item(const Value& value, unsigned flag) override {
    json_.open('{');
    put_value(json_.raw("value"), value, true);
    json_.raw("flag") << flag;
    json_.close();
  }
  void finish() override {
    close_to(0);
    json_.raw(nullptr) << "\n";
  }

 private:
  void close_to(size_t depth) {
    while (json_.depth() > depth) json_.close();
  }
  JsonStream json_;
  const char* list_ = "values";
};

}  // namespace

std::unique_ptr<ObjectWriter> object_writer(std::ostream& out, bool as_json) {
  if (as_json) return std::make_unique<JsonWriter>(out);
  return std::make_unique<TextWriter>(out);
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
