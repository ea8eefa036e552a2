/// @file
/// The export mark of the library's public names.
#pragma once

/// @def CORVO_API
/// Marks what libcorvo exports. The library is built with hidden
/// visibility, so a public class or free function declared without it cannot
/// be linked to by programs. Define CORVO_STATIC when linking a static build
/// of the library into a program.
#if defined(CORVO_STATIC)
#define CORVO_API
#else
#define CORVO_API __attribute__((visibility("default")))
#endif
