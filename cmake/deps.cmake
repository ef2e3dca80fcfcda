# The libraries the patch engine builds on: zstd (delta and compression), libdivsufsort (suffix
# arrays, for the builder's approximate matching) and libgcrypt (SHA-256). Linux links Debian's
# libraries; the Windows presets compile zstd and libdivsufsort from Debian's source packages
# (fetched by scripts/install-deps.sh) and link Debian's static mingw-w64 libgcrypt, so that
# PATCHW32.DLL carries everything it needs.

if(WIN32)
  set(QV_ZSTD_SOURCE_DIR "${CMAKE_SOURCE_DIR}/.deps/zstd" CACHE PATH "zstd's sources")
  if(NOT EXISTS "${QV_ZSTD_SOURCE_DIR}/lib/zstd.h")
    message(FATAL_ERROR "zstd's sources are missing in ${QV_ZSTD_SOURCE_DIR}: run scripts/install-deps.sh")
  endif()
  file(GLOB zstd_sources
    "${QV_ZSTD_SOURCE_DIR}/lib/common/*.c"
    "${QV_ZSTD_SOURCE_DIR}/lib/compress/*.c"
    "${QV_ZSTD_SOURCE_DIR}/lib/decompress/*.c")
  add_library(qv_zstd STATIC ${zstd_sources})
  target_include_directories(qv_zstd SYSTEM PUBLIC "${QV_ZSTD_SOURCE_DIR}/lib")
  target_compile_definitions(qv_zstd PRIVATE ZSTD_DISABLE_ASM ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD)
  target_compile_options(qv_zstd PRIVATE -w -O3)
  set_target_properties(qv_zstd PROPERTIES POSITION_INDEPENDENT_CODE ON)
  add_library(qv::zstd ALIAS qv_zstd)

  set(QV_DIVSUFSORT_SOURCE_DIR "${CMAKE_SOURCE_DIR}/.deps/divsufsort" CACHE PATH "libdivsufsort's sources")
  if(NOT EXISTS "${QV_DIVSUFSORT_SOURCE_DIR}/lib/divsufsort.c")
    message(FATAL_ERROR "libdivsufsort's sources are missing in ${QV_DIVSUFSORT_SOURCE_DIR}: run scripts/install-deps.sh")
  endif()
  # The public header is generated, as the library's own build does, for 32-bit indexes.
  set(W64BIT "")
  set(INCFILE "#include <inttypes.h>")
  set(DIVSUFSORT_EXPORT "")
  set(DIVSUFSORT_IMPORT "")
  set(SAUCHAR_TYPE "uint8_t")
  set(SAINT32_TYPE "int32_t")
  set(SAINDEX_TYPE "int32_t")
  set(SAINT_PRId "PRId32")
  set(SAINDEX_PRId "PRId32")
  configure_file("${QV_DIVSUFSORT_SOURCE_DIR}/include/divsufsort.h.cmake"
                 "${CMAKE_BINARY_DIR}/deps/divsufsort/include/divsufsort.h" @ONLY)
  add_library(qv_divsufsort STATIC
    "${QV_DIVSUFSORT_SOURCE_DIR}/lib/divsufsort.c"
    "${QV_DIVSUFSORT_SOURCE_DIR}/lib/sssort.c"
    "${QV_DIVSUFSORT_SOURCE_DIR}/lib/trsort.c"
    "${QV_DIVSUFSORT_SOURCE_DIR}/lib/utils.c")
  target_include_directories(qv_divsufsort SYSTEM PUBLIC "${CMAKE_BINARY_DIR}/deps/divsufsort/include")
  target_include_directories(qv_divsufsort PRIVATE "${QV_DIVSUFSORT_SOURCE_DIR}/include")
  target_compile_definitions(qv_divsufsort PRIVATE HAVE_INTTYPES_H=1 HAVE_STDDEF_H=1 HAVE_STDINT_H=1
    HAVE_STDLIB_H=1 HAVE_STRING_H=1 HAVE_MEMORY_H=1 INLINE=inline PROJECT_VERSION_FULL="2.0.1")
  target_compile_options(qv_divsufsort PRIVATE -w -O3)
  set_target_properties(qv_divsufsort PROPERTIES POSITION_INDEPENDENT_CODE ON)
  add_library(qv::divsufsort ALIAS qv_divsufsort)

  find_library(QV_GCRYPT_LIB NAMES libgcrypt.a gcrypt REQUIRED)
  find_library(QV_GPG_ERROR_LIB NAMES libgpg-error.a gpg-error REQUIRED)
  add_library(qv_gcrypt INTERFACE)
  target_link_libraries(qv_gcrypt INTERFACE "${QV_GCRYPT_LIB}" "${QV_GPG_ERROR_LIB}" ws2_32)
  add_library(qv::gcrypt ALIAS qv_gcrypt)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(QV_ZSTD REQUIRED IMPORTED_TARGET libzstd)
  pkg_check_modules(QV_GCRYPT REQUIRED IMPORTED_TARGET libgcrypt)
  pkg_check_modules(QV_DIVSUFSORT REQUIRED IMPORTED_TARGET libdivsufsort)
  add_library(qv::divsufsort ALIAS PkgConfig::QV_DIVSUFSORT)
  add_library(qv::zstd ALIAS PkgConfig::QV_ZSTD)
  add_library(qv::gcrypt ALIAS PkgConfig::QV_GCRYPT)
endif()
