/* SPDX-License-Identifier: Apache-2.0 */
/* The layout note: every program or shared library that includes the header
 * of a table type carries, in an ELF note, the layout of that type as it was
 * compiled, so that processes sharing a pool can compare layouts before they
 * read each other's objects. The type header emits it (one copy per type and
 * layout in each linked object, kept by a COMDAT group); libzim_tables itself
 * holds none, since its units define ZIM_TABLES_NO_LAYOUT_NOTE.
 *
 * The note lies in section .note.zim_tables.layout, owner "zim_tables", type
 * ZIM_TABLES_LAYOUT_NOTE_TYPE; readers find it in a PT_NOTE segment. */
#ifndef ZIM_TABLES_LAYOUT_NOTE_H
#define ZIM_TABLES_LAYOUT_NOTE_H

#include <stdint.h>

#define ZIM_TABLES_LAYOUT_NOTE_OWNER "zim_tables" /* n_namesz 11, padded to 12 */
#define ZIM_TABLES_LAYOUT_NOTE_TYPE 0x7a4c0001u
#define ZIM_TABLES_LAYOUT_NOTE_VERSION 1u

/* The note's descriptor: this header, then text_size bytes of text, padded to
 * 4. The text is the type's layout record as the layout manifest writes it,
 * starting "type ID NAME\n" (no preamble); fingerprint_lo and fingerprint_hi
 * are the halves of the fingerprint on its "fingerprint" line. */
typedef struct zim_tables_layout_note {
  uint32_t version; /* ZIM_TABLES_LAYOUT_NOTE_VERSION */
  uint32_t table_id;
  uint32_t fingerprint_lo; /* low 32 bits of the layout fingerprint */
  uint32_t fingerprint_hi;
  uint32_t text_size;
} zim_tables_layout_note_t;

#endif /* ZIM_TABLES_LAYOUT_NOTE_H */
