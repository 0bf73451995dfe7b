/* The life of olist objects, a counted table type, as a C client of
 * libzim_tables sees it on the simulated platform: create, fill, copy, move
 * and fix up, release.
 *
 *   cc olist_life.c $(pkg-config --cflags --libs zim_tables)
 *   or, with CMake: target_link_libraries(app PRIVATE zim_tables::zim_tables) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zim/tables/olist.h>

/* Where olist keeps what this program uses, from the layout constants of its
 * header: the element count, the counted array that is its field 2 (8-byte
 * elements) and the inline 4-byte field 4 with its presence flag. */
enum {
  COUNT_AT = ZIM_OLIST_COUNT_OFFSET,
  ELEMS_AT = ZIM_OLIST_FIELD_2_PTR,
  ELEM_FLAGS_AT = ZIM_OLIST_FIELD_2_FLAGS_PTR,
  ELEM_SIZE = ZIM_OLIST_FIELD_2_ELEM_SIZE,
  VALUE_AT = ZIM_OLIST_FIELD_4_OFFSET,
  VALUE_FLAG_AT = ZIM_OLIST_FIELD_4_FLAG
};

static unsigned char *bytes(void *obj) { return (unsigned char *)obj; }

static unsigned char *pointer_at(void *obj, size_t offset) {
  unsigned char *p;
  memcpy(&p, bytes(obj) + offset, sizeof p);
  return p;
}

static uint32_t u32_at(void *obj, size_t offset) {
  uint32_t v;
  memcpy(&v, bytes(obj) + offset, sizeof v);
  return v;
}

static void fill(void *obj) {
  uint32_t count = u32_at(obj, COUNT_AT), value = 42, i;
  for (i = 0; i < count; ++i) {
    uint64_t element = 1000 + i;
    memcpy(pointer_at(obj, ELEMS_AT) + ELEM_SIZE * i, &element, ELEM_SIZE);
    pointer_at(obj, ELEM_FLAGS_AT)[i] = 1; /* element i present */
  }
  memcpy(bytes(obj) + VALUE_AT, &value, 4);
  bytes(obj)[VALUE_FLAG_AT] = 1;
}

/* 1 when obj holds what fill() wrote, its arrays inside its own block. */
static int intact(void *obj, const char *what) {
  uint32_t count = u32_at(obj, COUNT_AT), size = u32_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET), i;
  unsigned char *elems = pointer_at(obj, ELEMS_AT);
  int ok = u32_at(obj, VALUE_AT) == 42 && bytes(obj)[VALUE_FLAG_AT] == 1 &&
           (count == 0 || (elems > bytes(obj) && elems < bytes(obj) + size));
  for (i = 0; ok && i < count; ++i) {
    uint64_t element;
    memcpy(&element, elems + ELEM_SIZE * i, ELEM_SIZE);
    ok = element == 1000 + i && pointer_at(obj, ELEM_FLAGS_AT)[i] == 1;
  }
  printf("%-10s %u elements, %u bytes: %s\n", what, count, size, ok ? "intact" : "DIFFERS");
  return ok;
}

int main(void) {
  const uint32_t count = 3;
  srv_olist_t server, heap_copy, pool_copy;
  void *moved;
  int ok;

  /* The size: the fixed part, the NPD area (libparn) and two arrays of 8-byte
   * elements and their flags, as the header's constants place them. */
  const uint32_t npus = hulcon_config_get_max_num_npus();
  const uint32_t npd_size = qor_npd_get_table_size(ZIM_TABLE_ID_OLIST);
  printf("olist (table id %u): %u bytes, elements from offset %llu, their flags from %llu\n",
         ZIM_TABLE_ID_OLIST, qor_olist_get_obj_size(count),
         (unsigned long long)ZIM_OLIST_FIELD_2_STORAGE_OFFSET(npus, npd_size, count),
         (unsigned long long)ZIM_OLIST_FIELD_2_FLAGS_OFFSET(npus, npd_size, count));
  if (qor_olist_get_obj_size(count) != ZIM_OLIST_OBJECT_SIZE(npus, npd_size, count)) return 1;

  /* A server object in the heap belongs to its creator, who frees it. */
  server = qor_srv_olist_ctor(count);
  fill(server);
  ok = intact(server, "server");

  /* A client copy in the heap: released with the type's copy destructor. */
  heap_copy = zim_olist_copy_ctor(server);
  ok &= intact(heap_copy, "heap copy");

  /* Moved (as another process sees an object at another address), the array
   * pointers still point into the old block until the fix-up. */
  moved = malloc(u32_at(server, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  memcpy(moved, server, u32_at(server, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  free(server);
  zim_olist_fix_ptrs_from_base(moved);
  ok &= intact(moved, "moved");

  /* A copy in the shared-memory pool lives as long as the pool: never pass
   * it to free or to the copy destructor. */
  pool_copy = zim_olist_copy_ctor_with_shm(moved);
  ok &= intact(pool_copy, "pool copy");

  zim_olist_clnt_copy_dtor(heap_copy);
  free(moved);
  return ok ? 0 : 1;
}
