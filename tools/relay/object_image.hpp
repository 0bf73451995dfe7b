// SPDX-License-Identifier: Apache-2.0
// An object's image: its bytes with every in-object pointer replaced by the
// offset it names from the object's first byte (null stays 0), so that the
// image means the same at any address. The pointers are found from the
// object's layout: each array's data pointer and flag pointer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codec/model.hpp"
#include "migrate/object_placement.hpp"

namespace zim_relay {

using Bytes = std::vector<unsigned char>;

// Where the image of an object of this layout ends, from the count it holds
// (the object's first `fixed` bytes must be present), or an error.
struct ImageFrame {
  uint64_t end = 0;
  zim_objects::ObjectMap map;
  zim_objects::Sizing sizing;
};

// The frame of the object in `bytes` (its block, at least the object);
// false with the reason when the layout or the bytes cannot hold it.
bool frame_object(const zim_codec::TypeLayout& type, zim_objects::Sizing sizing, const Bytes& bytes,
                  ImageFrame& frame, std::string& why);

// Turns a copy of the object into its image, cut to frame.end. Pointers in
// a pool name the object where its writer maps the pool: each must name its
// array in one object at one address (or be null for an empty array);
// false with the reason otherwise.
bool to_image(const zim_codec::TypeLayout& type, const ImageFrame& frame, Bytes& bytes,
              std::string& why);

// The reverse: an image whose object is to lie at `address` gets its
// pointers back. Every offset is checked against the layout's placement, so
// a hostile image cannot make a pointer leave the object.
bool from_image(const zim_codec::TypeLayout& type, const ImageFrame& frame, uint64_t address,
                Bytes& bytes, std::string& why);

}  // namespace zim_relay
