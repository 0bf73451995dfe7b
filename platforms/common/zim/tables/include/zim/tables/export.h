/* SPDX-License-Identifier: Apache-2.0 */
/* Marks the operations that libzim_tables exports; everything else in the
 * library has hidden visibility, and its version script gives each export
 * the symbol version ZIM_TABLES_1.0. */
#ifndef ZIM_TABLES_EXPORT_H
#define ZIM_TABLES_EXPORT_H

#if defined(__GNUC__)
#define ZIM_TABLES_API __attribute__((visibility("default")))
#else
#define ZIM_TABLES_API
#endif

#endif /* ZIM_TABLES_EXPORT_H */
