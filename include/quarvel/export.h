#ifndef QUARVEL_EXPORT_H
#define QUARVEL_EXPORT_H

/* Marks the public interface; every other symbol of the library stays hidden. Callers see the same default
 * visibility, so that a program compiled with hidden visibility can still derive from the exported classes and
 * reach their virtual tables and type information inside the library. */
#if defined(__GNUC__)
#define QUARVEL_API __attribute__((visibility("default")))
#else
#define QUARVEL_API
#endif

#endif
