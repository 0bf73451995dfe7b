// SPDX-License-Identifier: Apache-2.0
// Owning C++ handles of table objects, and arrays as ranges. Every type
// header specialises TypeOps for its object type, so one template serves all
// types:
//
//   auto copy = zim_tables::ClientCopy<qor_olist_obj>::of(src);  // or copy_of(src)
//   auto view = zim_tables::snapshot_of(pool_obj);  // writes nothing of pool_obj
//   auto obj = zim_tables::ServerObject<qor_olist_obj>::make(3);
//   for (uint64_t v : zim_tables::elements(copy.get(), zim_olist_field_2_length,
//                                          zim_olist_get_field_2)) { ... }
//
// A client copy or a snapshot is released with its type's clnt_copy_dtor, a
// server object with free(). Handles are move-only; a moved-from handle holds
// nothing. Shared-memory objects are never released singly and have no
// handle; zim/tables/write_scope.hpp brackets their writes. C++11 and later.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace zim_tables {

// What a type's header provides for its object type T: make(count),
// copy(src), snapshot(obj, version) and release(copy).
template <typename T>
struct TypeOps;

template <typename T, typename Derived>
class Owner {
 public:
  Owner() = default;
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  Owner(Owner&& other) noexcept : obj_(other.release()) {}
  Owner& operator=(Owner&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~Owner() { reset(); }

  T* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives up ownership: the caller releases the object.
  T* release() {
    T* const held = obj_;
    obj_ = nullptr;
    return held;
  }
  void reset(T* obj = nullptr) {
    T* const old = obj_;
    obj_ = obj;
    if (old != nullptr) Derived::dispose(old);
  }

 protected:
  explicit Owner(T* obj) : obj_(obj) {}

 private:
  T* obj_ = nullptr;
};

// A heap copy from zim_<type>_copy_ctor or zim_<type>_snapshot.
template <typename T>
class ClientCopy : public Owner<T, ClientCopy<T>> {
 public:
  ClientCopy() = default;
  static ClientCopy of(T* src) { return ClientCopy(TypeOps<T>::copy(src)); }
  static ClientCopy adopt(T* copy) { return ClientCopy(copy); }
  static void dispose(T* obj) { TypeOps<T>::release(obj); }

 private:
  explicit ClientCopy(T* obj) : Owner<T, ClientCopy<T>>(obj) {}
};

// A heap server object from qor_srv_<type>_ctor; the count is ignored by types
// that take none.
template <typename T>
class ServerObject : public Owner<T, ServerObject<T>> {
 public:
  ServerObject() = default;
  static ServerObject make(uint32_t count = 0) { return ServerObject(TypeOps<T>::make(count)); }
  static ServerObject adopt(T* obj) { return ServerObject(obj); }
  static void dispose(T* obj) { std::free(obj); }

 private:
  explicit ServerObject(T* obj) : Owner<T, ServerObject<T>>(obj) {}
};

template <typename T>
ClientCopy<T> copy_of(T* src) {
  return ClientCopy<T>::of(src);
}

// zim_<type>_snapshot_with_version(obj, version): an empty handle when the
// snapshot gives null (errno: ENOMEM, or in a versioned pool EBUSY,
// EOWNERDEAD, EINVAL).
template <typename T>
ClientCopy<T> snapshot_of(T* obj, uint64_t* version = nullptr) {
  return ClientCopy<T>::adopt(TypeOps<T>::snapshot(obj, version));
}

// The elements of one array field of one object, by its length and get
// accessors; the length is read once, when the range is made.
template <typename T, typename Value>
class Elements {
 public:
  using Length = uint32_t (*)(T*);
  using Get = Value (*)(T*, uint32_t);

  class Iterator {
   public:
    Iterator(const Elements* range, uint32_t at) : range_(range), at_(at) {}
    Value operator*() const { return (*range_)[at_]; }
    Iterator& operator++() {
      ++at_;
      return *this;
    }
    bool operator!=(const Iterator& other) const { return at_ != other.at_; }

   private:
    const Elements* range_;
    uint32_t at_;
  };

  Elements(T* obj, Length length, Get get) : obj_(obj), size_(length(obj)), get_(get) {}
  uint32_t size() const { return size_; }
  Value operator[](uint32_t i) const { return get_(obj_, i); }
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size_); }

 private:
  T* obj_;
  uint32_t size_;
  Get get_;
};

template <typename T, typename Value>
Elements<T, Value> elements(T* obj, uint32_t (*length)(T*), Value (*get)(T*, uint32_t)) {
  return Elements<T, Value>(obj, length, get);
}

}  // namespace zim_tables
