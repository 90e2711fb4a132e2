// Symbol visibility of libtovzelt: everything is hidden unless marked TOVZELT_API.
#ifndef TOVZELT_EXPORT_H
#define TOVZELT_EXPORT_H

#if defined(__GNUC__)
#define TOVZELT_API __attribute__((visibility("default")))
#else
#define TOVZELT_API
#endif

// hiredis handles, declared here so that the public headers do not pull in hiredis.
struct redisContext;
struct redisReply;

#endif  // TOVZELT_EXPORT_H
