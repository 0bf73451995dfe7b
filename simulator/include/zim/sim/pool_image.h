/* SPDX-License-Identifier: Apache-2.0 */
/* Saving a versioned pool and making it again (libzim_memory): what a tool
 * that writes a pool's image to a file needs of the pool beyond its public
 * reads (the index's entries), and the making of a kept pool from an image
 * that the tool read and checked.
 *
 * An image holds every object of a pool whole at one of its versions, with
 * its table id, pool id and version, the pool's configuration and layout
 * records, the index's entries and the feed's sequence to continue from. A
 * restore makes from it a versioned pool that is kept (handed over, as by
 * zim_shm_pool_hand_over) for a server to adopt (zim_shm_pool_adopt) and, when
 * its program lays a type out otherwise, to migrate (zim_shm_pool_migrate). */
#ifndef ZIM_SIM_POOL_IMAGE_H
#define ZIM_SIM_POOL_IMAGE_H

#include <stddef.h>
#include <stdint.h>
#include <zim/sim/export.h>
#include <zim/sim/pool_records.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One key of the mapped pool's index. */
typedef struct zim_shm_pool_index_entry {
  uint64_t key;
  uint64_t offset; /* of the object it leads to */
  uint64_t pool_id;
  uint32_t table_id;
  uint32_t reserved; /* 0 */
} zim_shm_pool_index_entry_t;

/* Every key of the mapped versioned pool's index, read without a lock as one
 * state of it: the read is taken again while writers moved entries under it.
 * Stores up to max entries in out and returns how many keys the index holds
 * (more than max: call again with room for them); -1 with errno EINVAL when
 * no versioned pool is mapped or its index is damaged, EBUSY when writers
 * kept moving entries for every try. */
ZIM_SIM_API int64_t zim_shm_pool_index_list(zim_shm_pool_index_entry_t *out, uint64_t max);

/* An object to make: its bytes as saved. In an object of a table id with a
 * layout record in the image, the array pointers are laid out again for the
 * object's new address from that record, whatever they hold; other objects
 * (untyped blocks, ids without a record) are copied byte for byte. */
typedef struct zim_shm_pool_image_object {
  uint64_t pool_id;  /* 1 and up, each once */
  uint64_t version;  /* even, 2 and up, below 2 x next_sequence */
  uint64_t size;     /* of its block, 1 and up */
  const void *bytes; /* size bytes */
  uint32_t table_id; /* up to ZIM_SHM_POOL_MAX_TABLE_ID, or ZIM_SHM_POOL_UNTYPED */
  uint32_t reserved; /* 0 */
} zim_shm_pool_image_object_t;

/* A table id's layout record: its text as zim_shm_pool_layout_record_t holds it. */
typedef struct zim_shm_pool_image_layout {
  uint64_t fingerprint;
  const char *text;
  uint32_t text_size;
  uint32_t table_id;
} zim_shm_pool_image_layout_t;

/* A key of the index, leading to the object of pool_id. */
typedef struct zim_shm_pool_image_key {
  uint64_t key;
  uint64_t pool_id;
  uint32_t table_id;
  uint32_t reserved; /* 0 */
} zim_shm_pool_image_key_t;

typedef struct zim_shm_pool_image {
  uint64_t size;           /* of the pool, at least ZIM_SHM_POOL_MIN_SIZE */
  uint64_t feed_capacity;  /* as zim_shm_pool_options_t */
  uint64_t index_capacity; /* as zim_shm_pool_options_t */
  uint64_t next_sequence;  /* the feed's next sequence to draw, 1 and up */
  uint64_t pool_ids;       /* pool ids drawn so far: the next object gets a later one */
  uint64_t root_pool_id;   /* the object the root slot names, 0 for none */
  uint32_t max_num_npus;   /* the configuration: must be this process's */
  uint32_t default_npd_size;
  const zim_shm_pool_config_entry_t *npd_entries; /* ascending by table id */
  uint64_t npd_entry_count;
  const zim_shm_pool_image_layout_t *layouts; /* one per table id at most */
  uint64_t layout_count;
  const zim_shm_pool_image_object_t *objects;
  uint64_t object_count;
  const zim_shm_pool_image_key_t *keys; /* each (table id, key) once */
  uint64_t key_count;
} zim_shm_pool_image_t;

/* Makes the versioned pool `name` from image and hands it over: its objects
 * (bytes, table ids, pool ids, versions, each whole), layout records, index
 * and root slot as the image gives them, its feed empty with next_sequence
 * next. Everything is checked before anything is made: the configuration
 * against this process's (a pool is made for one N and NPD size), every
 * count, size, table id, version and pool id, each layout record read and
 * each object sound for its table id's record, the keys' objects, and the room
 * the objects take in a pool of that size. 0; or -1 with errno and, in why
 * (why_size bytes, NUL-terminated, truncated; may be null when why_size is
 * 0), one line saying what is wrong: EINVAL for an image that does not
 * check, EPROTO for another configuration, ENOSPC when the objects do not fit,
 * EBUSY when this process maps a pool, or as zim_shm_pool_create_with (EEXIST
 * when the name is taken). Nothing is left under the name on failure; a
 * process killed during the making leaves a pool that is not kept, which the
 * next creation of the name replaces. */
ZIM_SIM_API int zim_shm_pool_restore(const char *name, const zim_shm_pool_image_t *image, char *why,
                                     size_t why_size);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_POOL_IMAGE_H */
