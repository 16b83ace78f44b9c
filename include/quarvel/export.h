#ifndef QUARVEL_EXPORT_H
#define QUARVEL_EXPORT_H

/* Marks the public interface; every other symbol of the library stays hidden. */
#if defined(QUARVEL_BUILDING_LIBRARY)
#define QUARVEL_API __attribute__((visibility("default")))
#else
#define QUARVEL_API
#endif

#endif
