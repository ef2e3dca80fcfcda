# Compile and link options of the project's own targets: every library and program of ours links
# qv_options; the libraries built from other projects' sources (zstd, libdivsufsort, GoogleTest)
# keep their own.
option(QV_WERROR "Treat warnings in the project's own code as errors (CI turns it on)" OFF)

add_library(qv_options INTERFACE)
target_compile_options(qv_options INTERFACE -Wall -Wextra -Wshadow $<$<BOOL:${QV_WERROR}>:-Werror>)
if(WIN32)
  # The programs need no DLL beyond the system's and PATCHW32.DLL; release builds are what a kit
  # ships, without symbols.
  target_link_options(qv_options INTERFACE -static -static-libgcc -static-libstdc++ $<$<CONFIG:Release>:-s>)
endif()
