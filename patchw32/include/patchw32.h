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

/* The messages of the callback: an id, and a parameter whose meaning depends on it. */
enum {
    PATCH_MSG_INFORMATION = 1, /* param: a NUL-terminated text for people (system code page) */
    PATCH_MSG_WARNING = 2,     /* param: the same, a warning */
    PATCH_MSG_FAILURE = 3,     /* param: the same, the reason of a failure, once, before a non-zero result */
    PATCH_MSG_PROGRESS = 5,    /* param: a 32-bit value, the current file's progress, 0 to PATCH_PROGRESS_SCALE */
    PATCH_MSG_FILE = 7,        /* param: the NUL-terminated name of the file being worked on */
    PATCH_MSG_FILE_DONE = 8,   /* the file is done */
    PATCH_MSG_CONTINUE = 21    /* stop query: a null reply asks the library to stop and return */
};

/* The whole of a file's progress (PATCH_MSG_PROGRESS); its low 16 bits are what a caller reads. */
#define PATCH_PROGRESS_SCALE 0x8000

/* PatchApply's results. */
enum {
    PATCH_OK = 0,               /* the directory now matches the patch's target (also when it already did) */
    PATCH_BAD_COMMAND_LINE = 1, /* not "DIRECTORY PATCHFILE", a directory that is not one, other flags */
    PATCH_UNREADABLE = 2,       /* the patch file cannot be opened or read */
    PATCH_CORRUPT = 3,          /* bad format, failed integrity check, a delta that does not decode */
    PATCH_UNSAFE = 4,           /* a name that would leave the directory, duplicate names */
    PATCH_WRONG_VERSION = 5,    /* the directory is not at the version the patch was made from */
    PATCH_IO_ERROR = 6,         /* reading or writing the directory failed */
    PATCH_STOPPED = 7,          /* stopped on request */
    PATCH_OUT_OF_MEMORY = 8,
    PATCH_INTERRUPTED = 9, /* another update running, an interrupted one in the way, or not restored */
    PATCH_UNTRUSTED = 11   /* not signed by a key the directory trusts, a bad signature, a damaged trust file */
};

/* Called by the library on the caller's thread during PatchApply with one of the messages above
 * (or another id, which the caller gives a non-null reply that the library ignores). */
typedef void*(PATCHW32_API* PATCH_CALLBACK)(int id, void* param);

/* Applies a patch. commandLine: the directory to update, one blank, the patch file's path.
 * flags: 1. Returns PATCH_OK when the patch was applied, one of the other results otherwise. */
PATCHW32_EXPORT int PATCHW32_API PatchApply(const char* commandLine, PATCH_CALLBACK callback, int flags);

#ifdef __cplusplus
}
#endif

#endif
