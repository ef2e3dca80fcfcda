/* The patch library's entry, as programs call it: on Windows "PATCHW32.DLL", entry ordinal 1 with
 * no name; elsewhere the named symbol PatchApply of libpatchw32.so. */
#ifndef QUORVANE_PATCHW32_H
#define QUORVANE_PATCHW32_H

#if defined(_WIN32)
#define PATCHW32_API __stdcall
#else
#define PATCHW32_API
#endif

#ifndef PATCHW32_EXPORT
#define PATCHW32_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Called by the library on the caller's thread during PatchApply: a message id and a pointer whose
 * meaning depends on the id. Messages the caller acts on:
 *   5  param points to a 32-bit value; its low 16 bits are the current file's progress in 1/32768
 *   7  param is the NUL-terminated name of the file being worked on
 *   8  the file is done
 *   21 stop query: a null reply asks the library to stop and return
 * Every other id gets a non-null reply that the library ignores. */
typedef void* (PATCHW32_API* PATCH_CALLBACK)(int id, void* param);

/* Applies a patch. commandLine: the directory to update, one blank, the patch file's path.
 * flags: 1. Returns 0 when the patch was applied, non-zero otherwise. */
PATCHW32_EXPORT int PATCHW32_API PatchApply(const char* commandLine, PATCH_CALLBACK callback, int flags);

#ifdef __cplusplus
}
#endif

#endif
