// SPDX-License-Identifier: Apache-2.0
// The canonical form of a definition: keys in one order, one space between
// words, every offset, flags_at and fixed_size written out, names and
// comments kept. The platform's definitions are written in this form, so
// formatting one gives back its bytes.
//
// Comments: the comment lines before the first key stay at the top; other
// comment lines move with the key line below them; a comment that ends a key
// line stays on it, after one space; comment lines after the last key stay at
// the end. Runs of blank lines become one, and none is left at either end.
#include "gen/emit/emit_definition.hpp"

#include <string>
#include <vector>

namespace tablegen {
namespace {

class DefinitionWriter {
 public:
  explicit DefinitionWriter(const Definition& def) : def_(def) {}

  std::string run() {
    comment_lines(def_.comments.top);
    line(def_.lines.table, "table " + def_.name);
    line(def_.lines.id, "id " + std::to_string(def_.table_id));
    line(def_.lines.type_class, std::string("class ") + class_keyword(def_.type_class));
    line(def_.lines.fixed_size, "fixed_size " + std::to_string(def_.fixed_size));
    std::string header = "header";
    for (const auto& f : def_.header) header += " " + item_text(f);
    line(def_.lines.header, header);
    line(def_.lines.flags_at, "flags_at " + std::to_string(def_.flags_at));
    if (def_.count_field) {
      line(def_.lines.count_field, "count_field " + std::to_string(*def_.count_field));
    }
    line(def_.lines.size_check, std::string("size_check ") + (def_.size_check ? "on" : "off"));
    line(def_.lines.obj_flags_bit5,
         std::string("obj_flags_bit5 ") + (def_.sets_obj_flags_bit5 ? "set" : "clear"));
    std::string wisp = "wisp";
    for (uint32_t value : def_.wisp) wisp += " " + std::to_string(value);
    line(def_.lines.wisp, wisp);
    for (const auto& item : def_.fields) {
      line(item.line, "field " + item_text(item) + (item.name.empty() ? "" : " " + item.name) +
                          (item.was.empty() ? "" : " was " + item.was));
    }
    comment_lines(def_.comments.bottom);
    while (!out_.empty() && out_.back().empty()) out_.pop_back();
    std::string text;
    for (const auto& l : out_) text += l + "\n";
    return text;
  }

 private:
  void add(const std::string& text) {
    if (text.empty() && (out_.empty() || out_.back().empty())) return;
    out_.push_back(text);
  }

  void comment_lines(const std::vector<std::string>& lines) {
    for (const auto& l : lines) add(l);
  }

  // A key line and its comments; source_line is 0 for a derived value.
  void line(int source_line, const std::string& text) {
    const auto before = def_.comments.before.find(source_line);
    if (source_line != 0 && before != def_.comments.before.end()) comment_lines(before->second);
    const auto trailing = def_.comments.trailing.find(source_line);
    const bool has_trailing = source_line != 0 && trailing != def_.comments.trailing.end();
    add(has_trailing ? text + " " + trailing->second : text);
  }

  const Definition& def_;
  std::vector<std::string> out_;
};

}  // namespace

std::string emit_definition(const Definition& def) { return DefinitionWriter(def).run(); }

}  // namespace tablegen
