/* SPDX-License-Identifier: Apache-2.0 */
/* The range of table ids, apart from the rest of the platform's interface so
 * that the readers of layouts and pools include it alone. */
#ifndef ZIM_TABLES_TABLE_ID_H
#define ZIM_TABLES_TABLE_ID_H

/* The largest table id of any catalogue: the platform keeps records for ids
 * 0 to ZIM_MAX_TABLE_ID, the platform catalogue's and those of libraries of
 * one's own definitions (zim_tables_add_library) alike. */
#define ZIM_MAX_TABLE_ID 65535u

#endif /* ZIM_TABLES_TABLE_ID_H */
