// SPDX-License-Identifier: Apache-2.0
// Checks the bytes of one object against its type and reads out every field,
// presence flag and array element, reading the bytes where they lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "object_map.hpp"

namespace zim_inspect {

using Json = nlohmann::ordered_json;

// An object's bytes are gone while they are read: its file or its pool's
// segment was cut short meanwhile.
struct ReadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One object's bytes from its first byte, read where they lie (a buffer, a
// file, a pool's block) a few at a time, so that what reads them needs no
// copy of the object.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Copies [offset, offset + n), which must lie inside size(); throws
  // ReadError when the bytes are gone.
  void read(uint64_t offset, void* to, uint64_t n) const {
    if (!inside(offset, n, size())) throw std::out_of_range("a read outside the object");
    fetch(offset, to, n);
  }

 private:
  virtual void fetch(uint64_t offset, void* to, uint64_t n) const = 0;
};

// Bytes in memory.
class SpanSource final : public ByteSource {
 public:
  SpanSource(const unsigned char* data, uint64_t size) : data_(data), size_(size) {}
  uint64_t size() const override { return size_; }

 private:
  void fetch(uint64_t offset, void* to, uint64_t n) const override;
  const unsigned char* data_;
  uint64_t size_;
};

// Bytes whose every read is a system call, read through two windows of 64
// KiB: an array's elements and their flags lie apart, and are read in turns.
class WindowedSource : public ByteSource {
 public:
  explicit WindowedSource(uint64_t size) : size_(size) {}
  uint64_t size() const final { return size_; }

 protected:
  // Copies exactly n bytes at offset, or throws ReadError.
  virtual void load(uint64_t offset, void* to, uint64_t n) const = 0;

 private:
  struct Window {
    std::vector<unsigned char> bytes;
    uint64_t start = 0, filled = 0;
  };
  void fetch(uint64_t offset, void* to, uint64_t n) const final;
  uint64_t size_;
  mutable Window windows_[2];
  mutable unsigned last_ = 0;  // the window read last
};

// "0x1f": how addresses and values are shown.
std::string hex(uint64_t value);

// The keys layout and decode share, in their order: type, table_id, class,
// npus, npd_size, then, with a placement, count and size.
void put_object_header(Json& doc, const TypeLayout& type, const Sizing& sizing,
                       const ObjectMap* map);

// A field's or element's value where it lies: a number for 1, 2, 4 and 8
// bytes, else its bytes in hex, in memory order.
struct Value {
  const ByteSource* bytes;
  uint64_t offset, width;
};

// A value as text (a number in hex and decimal) or as JSON (a number, or a
// string of hex).
void put_value(std::ostream& out, const Value& value, bool as_json);
// Its bytes in hex, read a chunk at a time.
void put_hex_bytes(std::ostream& out, const Value& value);

// Receives what decode reads, in this order: the head (the header keys, then
// consistent, problems, object_at, base_header, type_header), alone when the
// object's layout could not be placed; else the section "fields" with an
// entry per inline field, then "arrays" with one per array, each entry
// followed by its `items` values; then finish.
class ObjectWriter {
 public:
  virtual ~ObjectWriter() = default;
  virtual void head(const Json& head) = 0;
  virtual void section(const char* name) = 0;
  virtual void entry(const Json& about, uint64_t items) = 0;
  virtual void item(const Value& value, unsigned flag) = 0;
  virtual void finish() = 0;
};

// `sizing` gives N and the NPD size; the count is read from the object.
// Neither reads outside `bytes`, whatever the layout and the bytes hold, and
// both take memory bounded by the layout, not by the object's size.
//
// The problems only.
std::vector<std::string> check(const TypeLayout& type, const ByteSource& bytes, Sizing sizing);
// The same, and everything read handed to `out` as it is read; whether the
// object is consistent.
bool decode(const TypeLayout& type, const ByteSource& bytes, Sizing sizing, ObjectWriter& out);

}  // namespace zim_inspect
