// Symbol visibility of the VornKit libraries.
//
// The libraries are built with hidden visibility: a symbol is part of the shared library's
// interface only when its declaration carries VK_EXPORT. Mark every class or struct defined in a
// public header (`class VK_EXPORT Name {`) and every free function declared there
// (`VK_EXPORT void name();`). Members of a marked class, its vtable and type information follow
// the class. Inline functions and templates defined in a header need no mark, except a function
// template whose instantiations the library provides (`extern template`): mark its primary
// declaration.
//
// Thread rule: none; this header only defines macros.
#pragma once

#if defined(_WIN32)
#define VK_EXPORT
#define VK_NO_EXPORT
#else
/// Makes a declaration part of the shared library's interface.
#define VK_EXPORT __attribute__((visibility("default")))
/// Keeps a declaration inside the library even where its enclosing scope is exported.
#define VK_NO_EXPORT __attribute__((visibility("hidden")))
#endif
