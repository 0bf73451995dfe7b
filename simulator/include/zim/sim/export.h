/* SPDX-License-Identifier: Apache-2.0 */
/* Symbol visibility of the simulated platform libraries: they are built with
 * hidden visibility, and only what is marked ZIM_SIM_API is exported. */
#ifndef ZIM_SIM_EXPORT_H
#define ZIM_SIM_EXPORT_H

#if defined(__GNUC__)
#define ZIM_SIM_API __attribute__((visibility("default")))
#else
#define ZIM_SIM_API
#endif

#endif /* ZIM_SIM_EXPORT_H */
